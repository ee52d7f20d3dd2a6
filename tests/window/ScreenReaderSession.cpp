#include "tests/window/ScreenReaderSession.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/WaitUntil.hpp"

namespace window_test {
namespace {

namespace fs = std::filesystem;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::run;

constexpr const char* launcherProgram = "/usr/libexec/at-spi-bus-launcher";
constexpr const char* pythonProgram = "/usr/bin/python3";

fs::path runtimeFolder(const fs::path& folder) { return folder / "runtime"; }

// The launcher in a process group of its own, which the accessibility bus and the registry
// join: the group ends as one. Without DISPLAY, so that it leaves no address on the test's X
// server for the programs of later tests: GTK asks the session bus.
pid_t startLauncher(const fs::path& runtime, const std::string& sessionBus) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::setpgid(0, 0);
  ::unsetenv("DISPLAY");  // NOLINT(concurrency-mt-unsafe): the child of a fork, alone
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);              // NOLINT(concurrency-mt-unsafe)
  ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  ::execl(launcherProgram, launcherProgram, "--launch-immediately", static_cast<char*>(nullptr));
  ::_exit(127);
}

}  // namespace

ScreenReaderSession::ScreenReaderSession(const fs::path& folder) : folder_(folder) {}

std::unique_ptr<ScreenReaderSession> ScreenReaderSession::start(const fs::path& folder,
                                                                std::string& whyNot) {
  if (::access(launcherProgram, X_OK) != 0) {
    whyNot = "at-spi2-core is not installed (no at-spi-bus-launcher)";
    return nullptr;
  }
  if (run({pythonProgram, "-c", "import pyatspi"}).exitStatus != 0) {
    whyNot = "pyatspi is not installed (Debian: python3-pyatspi)";
    return nullptr;
  }
  if (!testing_support::privateBusAvailable()) {
    whyNot = "dbus-daemon is not installed";
    return nullptr;
  }
  std::unique_ptr<ScreenReaderSession> session(new ScreenReaderSession(folder));
  session->bus_.emplace(folder / "session-bus");
  fs::create_directories(runtimeFolder(folder));
  fs::permissions(runtimeFolder(folder), fs::perms::owner_all);
  session->launcher_ = startLauncher(runtimeFolder(folder), session->address());
  const bool listening = testing_support::waitUntil(
      [&] {
        struct stat info {};
        return ::stat((runtimeFolder(folder) / "at-spi/bus").c_str(), &info) == 0;
      },
      std::chrono::seconds(20));
  if (session->launcher_ < 0 || !listening) {
    whyNot = "at-spi-bus-launcher did not start the accessibility bus";
    return nullptr;
  }
  return session;
}

ScreenReaderSession::~ScreenReaderSession() {
  if (launcher_ > 0) {
    ::kill(-launcher_, SIGTERM);
    ::waitpid(launcher_, nullptr, 0);
    // The rest of the group is not this process's to wait for. Killed only while it is still
    // there: once gone, its id may already name another group.
    const bool gone = testing_support::waitUntil([this] { return ::kill(-launcher_, 0) != 0; },
                                                 std::chrono::seconds(10));
    if (!gone) ::kill(-launcher_, SIGKILL);
  }
  bus_.reset();
}

ProcessResult ScreenReaderSession::sheetReader(const std::string& command, pid_t pid) const {
  ProcessOptions options;
  options.environment = {{"DBUS_SESSION_BUS_ADDRESS", address()},
                         {"XDG_RUNTIME_DIR", runtimeFolder(folder_).string()}};
  options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
  return run({pythonProgram, ACCESSIBLE_SHEET_SCRIPT, command, std::to_string(pid)}, options);
}

ProcessResult ScreenReaderSession::read(pid_t pid) const { return sheetReader("read", pid); }

ProcessResult ScreenReaderSession::press(pid_t pid) const { return sheetReader("press", pid); }

ProcessResult ScreenReaderSession::progress(pid_t pid) const {
  return sheetReader("progress", pid);
}

}  // namespace window_test
