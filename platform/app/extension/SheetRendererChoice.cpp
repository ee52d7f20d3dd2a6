#include <cstdlib>
#include <string_view>

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
    // A terminal that moves no cursor and may lack the frame's characters gets plain lines.
    const char* terminal = std::getenv("TERM");  // NOLINT(concurrency-mt-unsafe): read only
    if (terminal != nullptr && std::string_view(terminal) == "dumb") {
      return std::make_unique<LineRenderer>(STDOUT_FILENO, keys);
    }
    return std::make_unique<TerminalRenderer>(STDOUT_FILENO, keys);
  }
  return std::make_unique<LineRenderer>(STDOUT_FILENO, standardInputIsData ? -1 : STDIN_FILENO);
}

}  // namespace platform
