// The sheet drawn in a terminal, run on a pseudo-terminal as in a user's terminal window.
#include <gtest/gtest.h>

#include <csignal>

#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/Terminal.hpp"

namespace e2e {
namespace {

using testing_support::readTerminalUntil;
using testing_support::startOnTerminal;

TEST_F(ShareExtensionTest, OnATerminalTheSheetIsDrawnInAFrameAndReturnPressesClose) {
  winsize size{};
  size.ws_col = 100;
  size.ws_row = 30;
  const auto [child, terminal] = startOnTerminal({KELPWORD_SHARE}, {environment(), {}, size});

  std::string seen;
  readTerminalUntil(terminal, seen, "[ Close ]");  // no inbox: the failure sheet
  termios whileShown{};
  ASSERT_EQ(::tcgetattr(terminal, &whileShown), 0);
  EXPECT_EQ(whileShown.c_lflag & (ICANON | ECHO), 0u) << "keys are taken at once, unechoed";
  ASSERT_EQ(::write(terminal, "\r", 1), 1);
  readTerminalUntil(terminal, seen, "\x1b[?25h");
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
  // The terminal stays open on the test's side: its settings can be read once the program ends.
  ASSERT_TRUE(readBack) << "the terminal's settings could not be read back";
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO))
      << "settings put back";
}

TEST_F(ShareExtensionTest, AnInterruptionCancelsAndGivesTheTerminalItsSettingsBack) {
  const auto [child, terminal] = startOnTerminal({KELPWORD_SHARE}, {environment()});

  std::string seen;
  readTerminalUntil(terminal, seen, "[ Close ]");  // no inbox: the failure sheet, waiting for a key
  ASSERT_EQ(::kill(child, SIGTERM), 0);
  readTerminalUntil(terminal, seen, "\x1b[?25h");
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  termios after{};
  const bool readBack = ::tcgetattr(terminal, &after) == 0;
  ::close(terminal);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "cancelled, not killed: " << status;
  EXPECT_NE(seen.find("\x1b[?25h"), std::string::npos) << "the cursor shown again";
  ASSERT_TRUE(readBack) << "the terminal's settings could not be read back";
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

TEST_F(ShareExtensionTest, OnADumbTerminalTheSheetIsPlainLines) {
  auto environment = this->environment();
  environment.emplace_back("TERM", "dumb");
  const auto [child, terminal] = startOnTerminal({KELPWORD_SHARE}, {environment});

  std::string seen;
  readTerminalUntil(terminal, seen, "Then share the recording again.");  // no inbox: the failure
  ASSERT_EQ(::write(terminal, "\r", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  readTerminalUntil(terminal, seen, "never shown");
  ::close(terminal);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(seen.find("Sending to KelpWord\u2026"), std::string::npos) << seen;
  EXPECT_EQ(seen.find('\x1b'), std::string::npos) << "no escape sequence: " << seen;
  EXPECT_EQ(seen.find("\u2500"), std::string::npos) << "no frame: " << seen;
}

}  // namespace
}  // namespace e2e
