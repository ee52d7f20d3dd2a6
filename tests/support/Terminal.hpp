#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/ioctl.h>
#include <sys/types.h>

namespace testing_support {

// A program on a pseudo-terminal of its own, as in a user's terminal window: the terminal is its
// controlling terminal and its standard descriptors, less those `redirect` puts elsewhere.
struct TerminalProgram {
  pid_t pid = -1;
  int terminal = -1;  // the test's side of the terminal; the test closes it
};

struct TerminalOptions {
  std::vector<std::pair<std::string, std::string>> environment;  // set on top of the test's own
  std::vector<std::pair<int, int>> redirect;  // a descriptor of the test's, and the one it becomes
  std::optional<winsize> size;                // the terminal's columns and rows
};

// Starts `argv` on a new pseudo-terminal. Throws std::system_error when none could be made.
TerminalProgram startOnTerminal(const std::vector<std::string>& argv,
                                const TerminalOptions& options = {});

// Reads what the terminal shows into `seen` until `until` appears in it, the program closes the
// terminal, or 30 seconds pass.
void readTerminalUntil(int terminal, std::string& seen, const std::string& until);

}  // namespace testing_support
