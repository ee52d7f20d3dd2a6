#pragma once

// The window renderer as a module of its own (kelpword-window-sheet.so), which the extension
// loads only where a display is named: a run without one never loads GTK or its libraries, and
// runs where GTK is not installed at all. The module takes the platform's own code, the main
// loop among it, from the program that loads it, which exports its symbols for that.
//
// Its entry points have C names, looked up with dlsym; the functions behind them are those of
// WindowSheetRenderer. The module is never unloaded: GTK cannot be.

namespace platform {
class SheetRenderer;
}

namespace platform::windowSheetModule {

inline constexpr const char* fileName = "kelpword-window-sheet.so";

// WindowSheetRenderer::displayAvailable(), with every connection a window needs made by the time
// it returns yes: the display's and the accessibility bus's (AccessibilityBus.hpp). Without a
// session bus, GTK's accessibility is off.
inline constexpr const char* displayAvailableName = "kelpword_window_sheet_display_available";
using DisplayAvailable = bool();

// A new WindowSheetRenderer, which the caller owns; only after displayAvailable() said yes.
inline constexpr const char* newRendererName = "kelpword_window_sheet_new_renderer";
using NewRenderer = SheetRenderer*();

}  // namespace platform::windowSheetModule
