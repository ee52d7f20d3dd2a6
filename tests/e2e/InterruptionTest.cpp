// A share that is still under way: what the sheet shows while standard input is read, and what
// an interruption (Ctrl-C, a closed terminal, a polite kill) leaves behind.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/E2eFixture.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// kelpword-share running in a process group of its own, its standard input and output pipes
// held by the test.
class LiveShare {
 public:
  LiveShare(const std::vector<std::string>& arguments,
            const std::vector<std::pair<std::string, std::string>>& environment) {
    std::array<int, 2> in{};
    std::array<int, 2> out{};
    if (::pipe2(in.data(), O_CLOEXEC) != 0 || ::pipe2(out.data(), O_CLOEXEC) != 0) return;
    std::vector<std::string> argv{KELPWORD_SHARE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args;
    for (auto& argument : argv) args.push_back(argument.data());
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::setpgid(pid_, pid_);  // whichever of the two runs first
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~LiveShare() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (input_ >= 0) ::close(input_);
    if (output_ >= 0) ::close(output_);
  }
  LiveShare(const LiveShare&) = delete;
  LiveShare& operator=(const LiveShare&) = delete;

  bool started() const { return pid_ > 0 && output_ >= 0; }

  void write(const std::string& data) const {
    ASSERT_EQ(::write(input_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  void closeInput() { ::close(std::exchange(input_, -1)); }

  // Standard output so far, read until it holds `text` or `patience` has passed.
  const std::string& readUntil(const std::string& text, std::chrono::seconds patience) {
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

  // What a terminal's Ctrl-C or hang-up, or a kill of the job, does: the whole group is told.
  void signalGroup(int signal) const { ::kill(-pid_, signal); }

  // The exit code, or 128 + the signal's number; -1 when it has not ended within 30 seconds.
  int wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      ::usleep(10000);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int status_ = -1;
  std::string seen_;
};

// What lies in the test's folder, $TMPDIR of the share, beyond what the test made itself.
std::vector<std::string> leftBehind(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name != "home" && name != "data-home" && name != "data-dirs" && name != "passwd" &&
        name != "group") {
      names.push_back(name);
    }
  }
  return names;
}

TEST_F(ShareExtensionTest, WhileStandardInputIsReadTheStatusIsShown) {
  makeInbox();
  LiveShare share({"--type", "public.mp3", "--name", "Live", "-"}, environment());
  ASSERT_TRUE(share.started());
  share.write("the first part, ");

  EXPECT_EQ(share.readUntil(sending, std::chrono::seconds(10)), sending)
      << "shown before the input ends";
  share.write("then the rest");
  share.closeInput();
  EXPECT_EQ(share.wait(), 0);
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(testing_support::readFile(folders[0] / "Live.mp3"), "the first part, then the rest");
  opened();
}

TEST_F(ShareExtensionTest, AnInterruptionCancelsTheShareAndLeavesNoTemporaryData) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    fs::remove_all(inbox());
    makeInbox();
    LiveShare share({"--type", "public.mp3", "-"}, environment());
    ASSERT_TRUE(share.started());
    share.write(std::string(std::size_t{32} * 1024, 'r'));  // within a pipe's buffer
    share.readUntil(sending, std::chrono::seconds(10));

    share.signalGroup(signal);

    EXPECT_EQ(share.wait(), 1) << "ends as cancelled";
    EXPECT_EQ(leftBehind(folder()), std::vector<std::string>{});
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(fs::is_empty(folders[0])) << "nothing, hidden or not, in the per-share folder";
  }
  EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
}

}  // namespace
}  // namespace e2e
