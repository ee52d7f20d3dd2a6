#include "tests/window/RunningShare.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/WaitUntil.hpp"

namespace window_test {

RunningShare::RunningShare(const std::vector<std::string>& argv, const Environment& environment,
                           const std::vector<std::string>& unset,
                           const std::filesystem::path& folder)
    : out_(folder / "share.out"), err_(folder / "share.err") {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe");
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid_ == 0) {
    ::dup2(pipe[0], STDIN_FILENO);
    const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    // NOLINTBEGIN(concurrency-mt-unsafe): the child has one thread
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    for (const auto& name : unset) ::unsetenv(name.c_str());
    // NOLINTEND(concurrency-mt-unsafe)
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipe[0]);
  input_ = pipe[1];
}

RunningShare::~RunningShare() {
  closeInput();
  if (!status_ && pid_ > 0) testing_support::endChild(pid_, SIGKILL);
}

void RunningShare::write(const std::string& data) {
  std::size_t done = 0;
  while (done < data.size() && input_ >= 0) {
    const ssize_t n = ::write(input_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::system_error(errno, std::generic_category(), "write to the share");
    done += static_cast<std::size_t>(n);
  }
}

void RunningShare::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

std::optional<int> RunningShare::waitForExit(std::chrono::milliseconds timeout) {
  testing_support::waitUntil(
      [this] {
        int status = 0;
        if (status_) return true;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = testing_support::exitStatusOf(status);
        return true;
      },
      timeout, std::chrono::milliseconds(20));
  return status_;
}

std::string RunningShare::output() const { return testing_support::readFile(out_); }

std::string RunningShare::errors() const { return testing_support::readFile(err_); }

}  // namespace window_test
