#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <sys/types.h>

#include "tests/support/PrivateBus.hpp"
#include "tests/support/Subprocess.hpp"

namespace window_test {

// What a screen reader needs of a desktop session, of the test's own: a session bus
// (PrivateBus) and on it at-spi2's bus launcher, which owns org.a11y.Bus and runs the
// accessibility bus, where the registry starts when first asked. The sheet is then read as a
// screen reader reads it, through AT-SPI with pyatspi (accessible-sheet.py). Everything it
// started is stopped when it goes.
class ScreenReaderSession {
 public:
  // The session, its files in `folder`; none when at-spi2-core, pyatspi or dbus-daemon is
  // missing, or the launcher did not start: then `whyNot` says why.
  static std::unique_ptr<ScreenReaderSession> start(const std::filesystem::path& folder,
                                                    std::string& whyNot);
  ~ScreenReaderSession();
  ScreenReaderSession(const ScreenReaderSession&) = delete;
  ScreenReaderSession& operator=(const ScreenReaderSession&) = delete;

  // For DBUS_SESSION_BUS_ADDRESS of the programs on the session.
  const std::string& address() const { return bus_->address(); }

  // The texts of process `pid`'s window named "KelpWord", once it shows (within 20 s), one line
  // each: "application: …", "frame: KelpWord", "label: …", "button: …".
  testing_support::ProcessResult read(pid_t pid) const;
  // Presses the one button of that window through its "click" action, once it has one.
  testing_support::ProcessResult press(pid_t pid) const;
  // That window's progress bar, once it has one that has moved (within 20 s): "progress bar:
  // VALUE of MAXIMUM".
  testing_support::ProcessResult progress(pid_t pid) const;

 private:
  explicit ScreenReaderSession(const std::filesystem::path& folder);
  testing_support::ProcessResult sheetReader(const std::string& command, pid_t pid) const;

  std::filesystem::path folder_;
  std::optional<testing_support::PrivateBus> bus_;
  pid_t launcher_ = -1;  // also its process group, which the buses and the registry share
};

}  // namespace window_test
