#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/window/SheetPicture.hpp"

namespace window_test {

using WindowId = unsigned long;

struct WindowGeometry {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// An X server of the test's own (Xvfb on a free display number, no window manager), and what a
// user does on it: find a window by its title, look at it, press a key, click, close it from the
// window manager.
class VirtualDisplay {
 public:
  // Starts Xvfb; none, with `whyNot` set, where it cannot start.
  static std::unique_ptr<VirtualDisplay> start(std::string& whyNot);
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // ":N", for DISPLAY.
  const std::string& name() const { return name_; }

  // The windows titled exactly `title`, of process `pid` when given (xdotool search).
  std::vector<WindowId> windowsTitled(const std::string& title,
                                      std::optional<pid_t> pid = std::nullopt) const;
  // Waits up to `timeout` for one such window to be on screen.
  std::optional<WindowId> waitForWindow(const std::string& title, std::optional<pid_t> pid,
                                        std::chrono::milliseconds timeout) const;

  // Where the window is, on the screen; none once it has gone.
  std::optional<WindowGeometry> geometry(WindowId window) const;
  // What the screen shows where the window is.
  std::optional<Image> capture(WindowId window) const;

  // Gives the window the keyboard and presses `key` (an xdotool key name, such as Return).
  void pressKey(WindowId window, const std::string& key) const;
  // Clicks the first mouse button at (x, y) on the screen.
  void click(int x, int y) const;
  // Moves the pointer to a corner where no sheet is.
  void movePointerAway() const;
  // What a window manager sends when the user closes the window: WM_DELETE_WINDOW.
  void closeFromWindowManager(WindowId window) const;

 private:
  VirtualDisplay() = default;
  std::vector<std::string> xdotool(const std::vector<std::string>& arguments) const;

  pid_t server_ = -1;
  std::string name_;
  struct Connection;
  std::unique_ptr<Connection> connection_;
};

}  // namespace window_test
