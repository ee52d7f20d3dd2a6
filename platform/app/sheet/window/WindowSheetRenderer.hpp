#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/app/sheet/SheetRenderer.hpp"

namespace platform {

class GLibPump;

// Shows a sheet as a small window of the desktop, drawn by GTK 4, whose GLib loop the main loop
// drives (GLibPump). The window bears the title given with setTitle(), is as wide and tall as the
// root view's frame, and taller where a wrapped label would run under a button; labels and buttons
// sit where their constraints to the root put them (sheetLayout::layOut), mirrored for
// right-to-left languages.
//
// Keys go to the sheet through root.performKeyEquivalent() (Return as "\r"), clicks through
// Button::performClick(); the sheet's default button (key equivalent "\r") is the window's
// default button. Closing the window from the window manager calls `dismissed`; the window goes
// only when close() is called. Main thread only.
class WindowSheetRenderer final : public SheetRenderer {
 public:
  // Whether a window can be shown: a display is named (WAYLAND_DISPLAY or DISPLAY) and GTK opens
  // it. Initialises GTK on the calling thread, the main thread, the first time; GTK then sets the
  // process's locale from the environment, and windows draw with cairo unless GSK_RENDERER names
  // another renderer.
  static bool displayAvailable();

  // Only once displayAvailable() has said yes: GTK must be initialised. Takes GLib's main
  // context for the main loop until destroyed.
  WindowSheetRenderer();
  ~WindowSheetRenderer() override;

  void setTitle(const std::string& title) override;
  void show(std::shared_ptr<View> root, std::function<void()> dismissed) override;
  void close() override;

 private:
  struct Window;
  std::unique_ptr<GLibPump> pump_;
  std::shared_ptr<Window> window_;
  std::string title_;
};

}  // namespace platform
