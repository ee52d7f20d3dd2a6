#include <fcntl.h>
#include <unistd.h>

#include "platform/app/extension/SheetRendererChoice.hpp"
#include "platform/app/sheet/TextSheetRenderer.hpp"
#ifdef KELPWORD_WINDOW_SHEET
#include "platform/app/extension/WindowSheetLoading.hpp"
#endif

namespace platform {

std::unique_ptr<SheetRenderer> chooseSheetRenderer(bool standardInputIsData, WindowSheet window) {
#ifdef KELPWORD_WINDOW_SHEET
  if (window == WindowSheet::allowed) {
    if (auto renderer = loadWindowSheetRenderer()) return renderer;
  }
#else
  (void)window;
#endif
  if (::isatty(STDOUT_FILENO) == 1) {
    int keys = STDIN_FILENO;
    // Standard input is the shared data: keys come from the terminal itself. Left open for the
    // process's life, like the standard descriptors.
    if (standardInputIsData) keys = ::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    return std::make_unique<TerminalRenderer>(STDOUT_FILENO, keys);
  }
  return std::make_unique<LineRenderer>(STDOUT_FILENO, standardInputIsData ? -1 : STDIN_FILENO);
}

}  // namespace platform
