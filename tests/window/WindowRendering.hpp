#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/app/sheet/WindowSheetPlugin.h"
#include "platform/app/sheet/WindowSheetRenderer.hpp"
#include "platform/app/views/View.hpp"
#include "tests/window/SheetPicture.hpp"
#include "tests/window/VirtualDisplay.hpp"

namespace window_test {

// The window sheet plugin, linked into the tests.
const kelpword_window_sheet_plugin& linkedPlugin();

// Whether GTK opens the test display, through the plugin.
bool displayAvailable();

// Runs the main loop, and GTK with it, for `duration`.
void runMainLoopFor(std::chrono::milliseconds duration);

// Sheets shown by the window renderer in this process, on the test display.
class InProcessSheets {
 public:
  struct Shown {
    WindowId window = 0;
    std::optional<Image> picture;  // none when the window did not appear or settle
  };

  InProcessSheets() = default;
  ~InProcessSheets();
  InProcessSheets(const InProcessSheets&) = delete;
  InProcessSheets& operator=(const InProcessSheets&) = delete;

  // Shows `root` in a new renderer, waits until its window has settled and takes its picture,
  // the pointer out of the way; then closes it, unless `keepOpen`.
  Shown show(std::shared_ptr<platform::View> root, bool keepOpen = false);
  platform::WindowSheetRenderer& renderer() { return *renderer_; }
  // Whether the renderer has called its `dismissed`.
  bool dismissed() const { return dismissed_; }

 private:
  std::unique_ptr<platform::WindowSheetRenderer> renderer_;
  bool dismissed_ = false;
};

// Skips where the test display or GTK is not there.
class WindowRenderingTest : public ::testing::Test, protected InProcessSheets {
 protected:
  void SetUp() override;
};

// Saves `picture` as <name>.ppm in $WINDOW_TEST_PICTURES, when that is set: to look at.
void keepPicture(const Image& picture, const std::string& name);

}  // namespace window_test
