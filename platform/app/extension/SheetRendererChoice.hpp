#pragma once

#include <memory>

#include "platform/app/sheet/SheetRenderer.hpp"

namespace platform {

enum class WindowSheet { allowed, refused };

// Where the runtime's sheet goes: a window when `window` is allowed, the build has the window
// renderer and its module loads and opens a display (loadWindowSheetRenderer()); otherwise a
// terminal sheet when standard output is a terminal other than TERM=dumb, lines of text
// otherwise. A text sheet's keys come from standard input, or from the controlling terminal when
// standard input carries a shared item's data (`standardInputIsData`).
std::unique_ptr<SheetRenderer> chooseSheetRenderer(bool standardInputIsData,
                                                   WindowSheet window = WindowSheet::allowed);

}  // namespace platform
