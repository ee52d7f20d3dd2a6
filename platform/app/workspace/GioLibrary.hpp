#pragma once

#include <gio/gio.h>

namespace platform::application_bus {

// The GIO functions that the bus hand-off calls, from the library as it is loaded at the first
// hand-off over the bus. A program that is not linked with GIO starts without loading it and
// the dozen libraries it pulls in; most shares never need them.
struct GioLibrary {
  decltype(&g_dbus_address_escape_value) dbusAddressEscapeValue;
  decltype(&g_dbus_connection_new_for_address_sync) dbusConnectionNewForAddressSync;
  decltype(&g_dbus_connection_close_sync) dbusConnectionCloseSync;
  decltype(&g_dbus_connection_call_sync) dbusConnectionCallSync;
  decltype(&g_dbus_error_quark) dbusErrorQuark;
  decltype(&g_io_error_quark) ioErrorQuark;
  decltype(&g_error_free) errorFree;
  decltype(&g_free) free;
  decltype(&g_object_unref) objectUnref;
  decltype(&g_variant_builder_init) variantBuilderInit;
  decltype(&g_variant_builder_add) variantBuilderAdd;
  decltype(&g_variant_builder_end) variantBuilderEnd;
  decltype(&g_variant_get) variantGet;
  decltype(&g_variant_new) variantNew;
  decltype(&g_variant_new_string) variantNewString;
  decltype(&g_variant_unref) variantUnref;
};

// The functions, the library loaded at the first call and kept for the process's life; null
// when it cannot be loaded or lacks one of them.
const GioLibrary* gioLibrary();

}  // namespace platform::application_bus
