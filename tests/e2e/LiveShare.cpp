#include "tests/e2e/LiveShare.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/WaitUntil.hpp"

namespace e2e {

namespace fs = std::filesystem;

LiveShare::LiveShare(const std::vector<std::string>& arguments,
                     const std::vector<std::pair<std::string, std::string>>& environment) {
  std::array<int, 2> in{};
  std::array<int, 2> out{};
  std::array<int, 2> err{};
  if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0 ||
      ::pipe2(err.data(), O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  std::vector<std::string> argv{KELPWORD_SHARE};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (auto& argument : argv) args.push_back(argument.data());
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid_ == 0) {
    ::setpgid(0, 0);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    // NOLINTBEGIN(concurrency-mt-unsafe): the forked child has one thread
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    // NOLINTEND(concurrency-mt-unsafe)
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::setpgid(pid_, pid_);  // whichever of the two runs first
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  input_ = in[1];
  output_ = out[0];
  errors_ = err[0];
}

LiveShare::~LiveShare() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(-pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (const int fd : {input_, output_, errors_}) {
    if (fd >= 0) ::close(fd);
  }
}

void LiveShare::write(const std::string& data) const {
  ASSERT_EQ(::write(input_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

void LiveShare::closeInput() {
  if (input_ >= 0) ::close(std::exchange(input_, -1));
}

const std::string& LiveShare::readUntil(const std::string& text, std::chrono::seconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (seen_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{output_, POLLIN, 0};
    if (::poll(&readable, 1, 50) <= 0) continue;
    std::array<char, 4096> buffer{};
    const ssize_t n = ::read(output_, buffer.data(), buffer.size());
    if (n <= 0) break;
    seen_.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return seen_;
}

void LiveShare::signalGroup(int signal) const { ::kill(-pid_, signal); }

int LiveShare::wait() {
  testing_support::waitUntil(
      [this] {
        int status = 0;
        if (status_ >= 0) return true;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = testing_support::exitStatusOf(status);
        return true;
      },
      std::chrono::seconds(30));
  return status_;
}

std::vector<pid_t> LiveShare::children() const {
  std::vector<pid_t> found;
  testing_support::waitUntil(
      [&] {
        for (const auto& entry : fs::directory_iterator("/proc")) {
          const auto name = entry.path().filename().string();
          if (name.find_first_not_of("0123456789") != std::string::npos) continue;
          std::ifstream stat(entry.path() / "stat");
          std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
          const auto close = text.rfind(')');
          if (close == std::string::npos) continue;
          std::istringstream fields(text.substr(close + 2));
          std::string state;
          pid_t parent = 0;
          fields >> state >> parent;
          if (parent == pid_) found.push_back(std::stoi(name));
        }
        return !found.empty();
      },
      std::chrono::seconds(10));
  return found;
}

testing_support::ProcessResult LiveShare::finish(const std::string& input) {
  if (!input.empty()) write(input);
  closeInput();
  testing_support::ProcessResult result;
  for (auto [fd, into] : {std::pair{output_, &seen_}, std::pair{errors_, &result.err}}) {
    std::array<char, 4096> buffer{};
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      into->append(buffer.data(), static_cast<std::size_t>(n));
    }
  }
  result.out = seen_;
  result.exitStatus = wait();
  return result;
}

}  // namespace e2e
