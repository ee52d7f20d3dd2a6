#include "platform/app/extension/WindowSheetLoading.hpp"

#include <cstdlib>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/app/sheet/window/WindowSheetModule.hpp"
#include "platform/detail/Posix.hpp"

namespace platform {
namespace {

bool displayNamed() {
  // NOLINTBEGIN(concurrency-mt-unsafe): read on the main thread before other threads start
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x11 = std::getenv("DISPLAY");
  // NOLINTEND(concurrency-mt-unsafe)
  return (wayland != nullptr && *wayland != '\0') || (x11 != nullptr && *x11 != '\0');
}

// The folder of the running program, or none when the kernel cannot say.
std::string programFolder() {
  const auto path = posix::readLinkAt(AT_FDCWD, "/proc/self/exe");
  if (!path) return {};
  const auto slash = path->find_last_of('/');
  return slash == std::string::npos ? std::string() : path->substr(0, slash + 1);
}

// The module, loaded once for the process's life; null where none loads (GTK missing, say).
void* loadModule() {
  const std::string folder = programFolder();
  if (folder.empty()) return nullptr;
  for (const char* within : {"", KELPWORD_WINDOW_MODULE_FROM_PROGRAM "/"}) {
    const std::string path = folder + within + windowSheetModule::fileName;
    if (::access(path.c_str(), F_OK) != 0) continue;
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  return nullptr;
}

template <class Function>
Function* entryPoint(void* module, const char* name) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym gives functions as void*
  return reinterpret_cast<Function*>(::dlsym(module, name));
}

}  // namespace

std::unique_ptr<SheetRenderer> loadWindowSheetRenderer() {
  if (!displayNamed()) return nullptr;
  static void* const module = loadModule();
  if (module == nullptr) return nullptr;
  auto* const displayAvailable = entryPoint<windowSheetModule::DisplayAvailable>(
      module, windowSheetModule::displayAvailableName);
  auto* const newRenderer =
      entryPoint<windowSheetModule::NewRenderer>(module, windowSheetModule::newRendererName);
  if (displayAvailable == nullptr || newRenderer == nullptr || !displayAvailable()) return nullptr;
  return std::unique_ptr<SheetRenderer>(newRenderer());
}

}  // namespace platform
