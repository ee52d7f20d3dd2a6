#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/app/sheet/SheetRenderer.hpp"
#include "platform/app/sheet/WindowSheetPlugin.h"

namespace platform {

class ToolkitLoopPump;

// Shows a sheet as a small window of the desktop, drawn by the window sheet plugin
// (WindowSheetPlugin.h) with GTK 4, whose main loop the main loop drives (ToolkitLoopPump). The
// window bears the title given with setTitle(), is as wide and tall as the root view's frame, and
// taller where a wrapped label would run under a button; labels, buttons and progress bars sit
// where their constraints to the root put them (sheetLayout::layOut), mirrored for right-to-left
// languages.
//
// Keys go to the sheet through root.performKeyEquivalent() (Return as "\r"), clicks through
// Button::performClick(); the sheet's default button (key equivalent "\r") is the window's
// default button. Closing the window from the window manager calls `dismissed`; the window goes
// only when close() is called. Main thread only.
class WindowSheetRenderer final : public SheetRenderer {
 public:
  // Only once the plugin's display_available() has said yes. Takes the toolkit's main loop for
  // the main loop until destroyed.
  explicit WindowSheetRenderer(const kelpword_window_sheet_plugin& plugin);
  ~WindowSheetRenderer() override;
  WindowSheetRenderer(const WindowSheetRenderer&) = delete;
  WindowSheetRenderer& operator=(const WindowSheetRenderer&) = delete;

  void setTitle(const std::string& title) override;
  void show(std::shared_ptr<View> root, std::function<void()> dismissed) override;
  void close() override;

 private:
  struct Window;
  const kelpword_window_sheet_plugin& plugin_;
  std::unique_ptr<ToolkitLoopPump> pump_;
  std::shared_ptr<Window> window_;
  std::string title_;
};

}  // namespace platform
