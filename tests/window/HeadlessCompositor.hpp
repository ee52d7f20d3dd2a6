#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TempFolder.hpp"
#include "tests/window/RunningShare.hpp"

namespace window_test {

// A window as the compositor shows it: whose it is, its title, and the part of it that is opaque
// (the window without the shadow that the toolkit draws around it).
struct Toplevel {
  pid_t pid = 0;
  std::string title;
  int opaqueWidth = 0;
  int opaqueHeight = 0;
  friend bool operator==(const Toplevel&, const Toplevel&) = default;
};

// A Wayland compositor of the test's own: Weston with its headless back end, on a socket in a
// runtime folder of its own (mode 0700, as the protocol wants). Where the test seat module was
// built, it has a keyboard that the test types on, and it closes windows as a window manager
// does; without it, there is no input at all.
class HeadlessCompositor {
 public:
  // Starts Weston; none, with `whyNot` set, where it cannot start.
  static std::unique_ptr<HeadlessCompositor> start(std::string& whyNot);
  ~HeadlessCompositor();
  HeadlessCompositor(const HeadlessCompositor&) = delete;
  HeadlessCompositor& operator=(const HeadlessCompositor&) = delete;

  // What a program needs to show windows here: WAYLAND_DISPLAY and XDG_RUNTIME_DIR.
  RunningShare::Environment environment() const;

  // The toplevel windows shown now, as Weston's scene graph lists them.
  std::vector<Toplevel> toplevels() const;
  // Waits up to `timeout` for a window titled `title` of process `pid` to be shown, and for it to
  // stop changing (the same three times, a moment apart).
  std::optional<Toplevel> waitForSettledWindow(const std::string& title, pid_t pid,
                                               std::chrono::milliseconds timeout) const;
  bool showsWindowOf(pid_t pid) const;

  // Whether there is a keyboard to type on and windows can be closed.
  bool hasInput() const { return seat_ >= 0; }
  // Presses and releases a key, by its Linux input code, in the window that has the keyboard.
  void pressKey(unsigned code) const;
  // What a window manager sends when the user closes the window that has the keyboard.
  void closeFocusedWindow() const;

 private:
  HeadlessCompositor() = default;
  void command(const std::string& line) const;

  testing_support::TempFolder runtime_;
  std::string socket_;
  pid_t server_ = -1;
  int seat_ = -1;
};

}  // namespace window_test
