#include "platform/app/extension/WindowSheetLoading.hpp"

#include <cstdlib>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/app/sheet/WindowSheetPlugin.h"
#include "platform/app/sheet/WindowSheetRenderer.hpp"
#include "platform/detail/Posix.hpp"

namespace platform {
namespace {

constexpr const char* pluginFileName = "kelpword-window-sheet.so";

bool displayNamed() {
  // NOLINTBEGIN(concurrency-mt-unsafe): read on the main thread before other threads start
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x11 = std::getenv("DISPLAY");
  // NOLINTEND(concurrency-mt-unsafe)
  return (wayland != nullptr && *wayland != '\0') || (x11 != nullptr && *x11 != '\0');
}

// The folder of the running program, ending in "/", or none when the kernel cannot say.
std::string programFolder() {
  const auto path = posix::readLinkAt(AT_FDCWD, "/proc/self/exe");
  if (!path) return {};
  auto folder = posix::parentAndName(*path).parent;
  return folder.ends_with('/') ? folder : folder + '/';
}

// The plugin's table for this program's version, the plugin loaded once for the process's life;
// null where none loads (GTK missing, say) or the plugin serves another version.
const kelpword_window_sheet_plugin* loadPlugin() {
  const std::string folder = programFolder();
  if (folder.empty()) return nullptr;
  for (const char* within : {"", KELPWORD_WINDOW_MODULE_FROM_PROGRAM "/"}) {
    const std::string path = folder + within + pluginFileName;
    if (::access(path.c_str(), F_OK) != 0) continue;
    void* const plugin = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) return nullptr;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym gives functions as void*
    auto* const entry = reinterpret_cast<kelpword_window_sheet_entry*>(
        ::dlsym(plugin, KELPWORD_WINDOW_SHEET_ENTRY_POINT));
    if (entry == nullptr) return nullptr;
    const kelpword_window_sheet_plugin* const table = entry(KELPWORD_WINDOW_SHEET_ABI_VERSION);
    return table != nullptr && table->abi_version == KELPWORD_WINDOW_SHEET_ABI_VERSION ? table
                                                                                       : nullptr;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<SheetRenderer> loadWindowSheetRenderer() {
  if (!displayNamed()) return nullptr;
  static const kelpword_window_sheet_plugin* const plugin = loadPlugin();
  if (plugin == nullptr || plugin->display_available() == 0) return nullptr;
  return std::make_unique<WindowSheetRenderer>(*plugin);
}

}  // namespace platform
