#include "platform/app/workspace/GioLibrary.hpp"

#include <optional>

#include <dlfcn.h>

#include "platform/detail/LoadedLibrary.hpp"

namespace platform::application_bus {
namespace {

using detail::findFunction;

// The library's name with its ABI version: GIO 2 keeps its interface compatible.
constexpr const char* gioSoname = "libgio-2.0.so.0";

std::optional<GioLibrary> load() {
  // Never unloaded: GLib cannot be, and its threads may still run.
  void* const library = ::dlopen(gioSoname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return std::nullopt;
  GioLibrary gio{};
  const bool complete =
      findFunction(library, "g_dbus_address_escape_value", gio.dbusAddressEscapeValue) &&
      findFunction(library, "g_dbus_connection_new_for_address_sync",
                   gio.dbusConnectionNewForAddressSync) &&
      findFunction(library, "g_dbus_connection_close_sync", gio.dbusConnectionCloseSync) &&
      findFunction(library, "g_dbus_connection_call_sync", gio.dbusConnectionCallSync) &&
      findFunction(library, "g_dbus_error_quark", gio.dbusErrorQuark) &&
      findFunction(library, "g_io_error_quark", gio.ioErrorQuark) &&
      findFunction(library, "g_error_free", gio.errorFree) &&
      findFunction(library, "g_free", gio.free) &&
      findFunction(library, "g_object_unref", gio.objectUnref) &&
      findFunction(library, "g_variant_builder_init", gio.variantBuilderInit) &&
      findFunction(library, "g_variant_builder_add", gio.variantBuilderAdd) &&
      findFunction(library, "g_variant_builder_end", gio.variantBuilderEnd) &&
      findFunction(library, "g_variant_get", gio.variantGet) &&
      findFunction(library, "g_variant_new", gio.variantNew) &&
      findFunction(library, "g_variant_new_string", gio.variantNewString) &&
      findFunction(library, "g_variant_unref", gio.variantUnref);
  if (!complete) return std::nullopt;
  return gio;
}

}  // namespace

const GioLibrary* gioLibrary() {
  static const std::optional<GioLibrary> library = load();
  return library ? &*library : nullptr;
}

}  // namespace platform::application_bus
