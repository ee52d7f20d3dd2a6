#pragma once

#include <memory>

#include "platform/app/sheet/SheetRenderer.hpp"

namespace platform {

// The window renderer over the window sheet plugin (platform/app/sheet/WindowSheetPlugin.h), where
// a display is named (WAYLAND_DISPLAY or DISPLAY), the plugin loads, serves this program's version
// of the interface, and GTK opens the display; the connections the window needs, the display's and
// the accessibility bus's, are made by then, so that the process may refuse new ones afterwards.
// Null otherwise: the sheet then stays in the terminal, and nothing of GTK has been loaded unless
// a display was named. The plugin is looked for beside the program (the build's bundle), then
// where it is installed. Main thread only.
std::unique_ptr<SheetRenderer> loadWindowSheetRenderer();

}  // namespace platform
