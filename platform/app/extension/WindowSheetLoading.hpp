#pragma once

#include <memory>

#include "platform/app/sheet/SheetRenderer.hpp"

namespace platform {

// The window renderer from its module (platform/app/sheet/window/WindowSheetModule.hpp), where a
// display is named (WAYLAND_DISPLAY or DISPLAY), the module loads and GTK opens the display; the
// connections the window needs, the display's and the accessibility bus's, are made by then, so
// that the process may refuse new ones afterwards;
// null otherwise, and then nothing of GTK has been loaded unless a display was named. The module
// is looked for beside the program (the build's bundle), then where it is installed. Main thread
// only.
std::unique_ptr<SheetRenderer> loadWindowSheetRenderer();

}  // namespace platform
