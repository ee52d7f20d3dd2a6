// The sheet drawn in a terminal, run on a pseudo-terminal as in a user's terminal window.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/e2e/E2eFixture.hpp"

namespace e2e {
namespace {

// Reads what the terminal shows until `until` appears, the program closes the terminal, or time
// runs out.
std::string readUntil(int terminal, std::string& seen, const std::string& until) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (seen.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{terminal, POLLIN, 0};
    if (::poll(&readable, 1, 100) <= 0) continue;
    std::array<char, 4096> buffer{};
    const ssize_t n = ::read(terminal, buffer.data(), buffer.size());
    if (n <= 0) break;  // EIO once the program has gone
    seen.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return seen;
}

TEST_F(ShareExtensionTest, OnATerminalTheSheetIsDrawnInAFrameAndReturnPressesClose) {
  int terminal = -1;
  winsize size{};
  size.ws_col = 100;
  size.ws_row = 30;
  const auto environment = this->environment();
  const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::execl(KELPWORD_SHARE, KELPWORD_SHARE, static_cast<char*>(nullptr));
    ::_exit(127);
  }

  std::string seen;
  readUntil(terminal, seen, "[ Close ]");  // no inbox: the failure sheet
  termios whileShown{};
  ASSERT_EQ(::tcgetattr(terminal, &whileShown), 0);
  EXPECT_EQ(whileShown.c_lflag & (ICANON | ECHO), 0u) << "keys are taken at once, unechoed";
  ASSERT_EQ(::write(terminal, "\r", 1), 1);
  readUntil(terminal, seen, "\x1b[?25h");
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  termios after{};
  const bool readBack = ::tcgetattr(terminal, &after) == 0;
  ::close(terminal);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  // The status sheet, then the failure drawn over it, each a 43-column frame.
  const std::string top = "\u256d" + [] {
    std::string rule;
    for (int i = 0; i < 43; ++i) rule += "\u2500";
    return rule;
  }() + "\u256e";
  EXPECT_NE(seen.find(top), std::string::npos) << seen;
  EXPECT_NE(seen.find("\u2502           Sending to KelpWord\u2026            \u2502"),
            std::string::npos)
      << seen;
  EXPECT_NE(seen.find("\x1b[7F\x1b[J"), std::string::npos) << "redrawn in place";
  EXPECT_NE(seen.find("Open KelpWord once first, so it can"), std::string::npos) << seen;
  EXPECT_NE(seen.find("[ Close ]  \u2502"), std::string::npos) << seen;
  if (readBack) {
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO))
        << "settings put back";
  }
}

TEST_F(ShareExtensionTest, AnInterruptionCancelsAndGivesTheTerminalItsSettingsBack) {
  int terminal = -1;
  const auto environment = this->environment();
  const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::execl(KELPWORD_SHARE, KELPWORD_SHARE, static_cast<char*>(nullptr));
    ::_exit(127);
  }

  std::string seen;
  readUntil(terminal, seen, "[ Close ]");  // no inbox: the failure sheet, waiting for a key
  ASSERT_EQ(::kill(child, SIGTERM), 0);
  readUntil(terminal, seen, "\x1b[?25h");
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  termios after{};
  const bool readBack = ::tcgetattr(terminal, &after) == 0;
  ::close(terminal);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "cancelled, not killed: " << status;
  EXPECT_NE(seen.find("\x1b[?25h"), std::string::npos) << "the cursor shown again";
  if (readBack) {
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  }
}

TEST_F(ShareExtensionTest, OnADumbTerminalTheSheetIsPlainLines) {
  int terminal = -1;
  auto environment = this->environment();
  environment.emplace_back("TERM", "dumb");
  const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::execl(KELPWORD_SHARE, KELPWORD_SHARE, static_cast<char*>(nullptr));
    ::_exit(127);
  }

  std::string seen;
  readUntil(terminal, seen, "Then share the recording again.");  // no inbox: the failure
  ASSERT_EQ(::write(terminal, "\r", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  readUntil(terminal, seen, "never shown");
  ::close(terminal);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(seen.find("Sending to KelpWord\u2026"), std::string::npos) << seen;
  EXPECT_EQ(seen.find('\x1b'), std::string::npos) << "no escape sequence: " << seen;
  EXPECT_EQ(seen.find("\u2500"), std::string::npos) << "no frame: " << seen;
}

}  // namespace
}  // namespace e2e
