#include "platform/app/workspace/GioLibrary.hpp"

#include <optional>

#include <dlfcn.h>

namespace platform::application_bus {
namespace {

// The library's name with its ABI version: GIO 2 keeps its interface compatible.
constexpr const char* gioSoname = "libgio-2.0.so.0";

template <class Function>
bool find(void* library, const char* name, Function& function) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym gives functions as void*
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

std::optional<GioLibrary> load() {
  // Never unloaded: GLib cannot be, and its threads may still run.
  void* const library = ::dlopen(gioSoname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return std::nullopt;
  GioLibrary gio{};
  const bool complete =
      find(library, "g_dbus_address_escape_value", gio.dbusAddressEscapeValue) &&
      find(library, "g_dbus_connection_new_for_address_sync",
           gio.dbusConnectionNewForAddressSync) &&
      find(library, "g_dbus_connection_close_sync", gio.dbusConnectionCloseSync) &&
      find(library, "g_dbus_connection_call_sync", gio.dbusConnectionCallSync) &&
      find(library, "g_dbus_is_name", gio.dbusIsName) &&
      find(library, "g_dbus_is_unique_name", gio.dbusIsUniqueName) &&
      find(library, "g_dbus_error_quark", gio.dbusErrorQuark) &&
      find(library, "g_io_error_quark", gio.ioErrorQuark) &&
      find(library, "g_error_free", gio.errorFree) && find(library, "g_free", gio.free) &&
      find(library, "g_object_unref", gio.objectUnref) &&
      find(library, "g_variant_builder_init", gio.variantBuilderInit) &&
      find(library, "g_variant_builder_add", gio.variantBuilderAdd) &&
      find(library, "g_variant_builder_end", gio.variantBuilderEnd) &&
      find(library, "g_variant_get", gio.variantGet) &&
      find(library, "g_variant_new", gio.variantNew) &&
      find(library, "g_variant_new_string", gio.variantNewString) &&
      find(library, "g_variant_unref", gio.variantUnref);
  if (!complete) return std::nullopt;
  return gio;
}

}  // namespace

const GioLibrary* gioLibrary() {
  static const std::optional<GioLibrary> library = load();
  return library ? &*library : nullptr;
}

}  // namespace platform::application_bus
