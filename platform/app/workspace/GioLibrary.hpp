#pragma once

#include <gio/gio.h>

#include "platform/detail/OptionalLibrary.hpp"

namespace platform::application_bus {

// The GIO functions that the bus hand-off calls, from the library as it is loaded at the first
// hand-off over the bus. A program that is not linked with GIO starts without loading it and
// the dozen libraries it pulls in; most shares never need them. A function that GLib's headers
// also define as a macro taking arguments is called as `(gio.name)(...)`.
struct GioLibrary : detail::OptionalLibrary {
  GioLibrary();

  KELPWORD_OPTIONAL_FUNCTION(g_dbus_address_escape_value);
  KELPWORD_OPTIONAL_FUNCTION(g_dbus_connection_new_for_address_sync);
  KELPWORD_OPTIONAL_FUNCTION(g_dbus_connection_close_sync);
  KELPWORD_OPTIONAL_FUNCTION(g_dbus_connection_call_sync);
  KELPWORD_OPTIONAL_FUNCTION(g_dbus_error_quark);
  KELPWORD_OPTIONAL_FUNCTION(g_io_error_quark);
  KELPWORD_OPTIONAL_FUNCTION(g_error_free);
  KELPWORD_OPTIONAL_FUNCTION(g_free);
  KELPWORD_OPTIONAL_FUNCTION(g_object_unref);
  KELPWORD_OPTIONAL_FUNCTION(g_variant_builder_init);
  KELPWORD_OPTIONAL_FUNCTION(g_variant_builder_add);
  KELPWORD_OPTIONAL_FUNCTION(g_variant_builder_end);
  KELPWORD_OPTIONAL_FUNCTION(g_variant_get);
  KELPWORD_OPTIONAL_FUNCTION(g_variant_new);
  KELPWORD_OPTIONAL_FUNCTION(g_variant_new_string);
  KELPWORD_OPTIONAL_FUNCTION(g_variant_unref);
};

// The library, loaded at the first call; null when it is missing.
inline const GioLibrary* gioLibrary() { return detail::optionalLibrary<GioLibrary>(); }

// The same, or std::system_error (ELIBACC) naming the library when it is missing.
inline const GioLibrary& requiredGioLibrary() { return detail::requiredLibrary<GioLibrary>(); }

}  // namespace platform::application_bus
