#include "tests/support/Terminal.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace testing_support {

TerminalProgram startOnTerminal(const std::vector<std::string>& argv,
                                const TerminalOptions& options) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  winsize size = options.size.value_or(winsize{});
  TerminalProgram program;
  program.pid = ::forkpty(&program.terminal, nullptr, nullptr, options.size ? &size : nullptr);
  if (program.pid < 0) throw std::system_error(errno, std::generic_category(), "forkpty");
  if (program.pid == 0) {
    for (const auto& [from, to] : options.redirect) ::dup2(from, to);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the forked child has one thread
    for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return program;
}

void readTerminalUntil(int terminal, std::string& seen, const std::string& until) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (seen.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{terminal, POLLIN, 0};
    if (::poll(&readable, 1, 100) <= 0) continue;
    std::array<char, 4096> buffer{};
    const ssize_t n = ::read(terminal, buffer.data(), buffer.size());
    if (n <= 0) break;  // EIO once the program has gone
    seen.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace testing_support
