#include "tests/support/Subprocess.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {
namespace {

void check(int result, const char* what) {
  if (result < 0) throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

ProcessResult run(const std::vector<std::string>& argv, const ProcessOptions& options) {
  std::array<int, 2> in{}, out{}, err{};
  check(::pipe2(in.data(), O_CLOEXEC), "pipe");
  check(::pipe2(out.data(), O_CLOEXEC), "pipe");
  check(::pipe2(err.data(), O_CLOEXEC), "pipe");

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  check(pid, "fork");
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    // NOLINTBEGIN(concurrency-mt-unsafe): the forked child has one thread
    for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
    for (const auto& name : options.unsetEnvironment) ::unsetenv(name.c_str());
    // NOLINTEND(concurrency-mt-unsafe)
    if (options.runAsUser) {
      const gid_t id = *options.runAsUser;
      if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) ::_exit(126);
    }
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);

  ProcessResult result;
  std::size_t written = 0;
  int inFd = in[1];
  if (options.input.empty()) {
    ::close(inFd);
    inFd = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    std::array<pollfd, 3> fds{{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inFd, POLLOUT, 0}}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds.data(), inFd >= 0 ? 3 : 2, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char buffer[4096];
    auto drain = [&](int fd, std::string& into, bool& open) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        open = false;
      }
    };
    if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
      drain(out[0], result.out, outOpen);
    if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
      drain(err[0], result.err, errOpen);
    if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n =
          ::write(inFd, options.input.data() + written, options.input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 || written == options.input.size()) {
        ::close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) ::close(inFd);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitStatus = exitStatusOf(status);
  return result;
}

int runInChild(const std::function<int()>& step, std::optional<unsigned> asUser) {
  const pid_t child = ::fork();
  check(child, "fork");
  if (child == 0) {
    if (asUser &&
        (::setgroups(0, nullptr) != 0 || ::setgid(*asUser) != 0 || ::setuid(*asUser) != 0)) {
      ::_exit(126);
    }
    try {
      ::_exit(step());
    } catch (...) {
      ::_exit(127);
    }
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return exitStatusOf(status);
}

int exitStatusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

void endChild(pid_t pid, int signal) {
  ::kill(pid, signal);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::string nssWrapperLibrary() {
  for (const char* candidate :
       {"/usr/lib/x86_64-linux-gnu/libnss_wrapper.so",
        "/usr/lib/aarch64-linux-gnu/libnss_wrapper.so", "/usr/lib/libnss_wrapper.so"}) {
    if (std::filesystem::exists(candidate)) return candidate;
  }
  return "";
}

std::vector<std::pair<std::string, std::string>> nssWrapperEnvironment(
    const std::string& passwdFile, const std::string& groupFile) {
  // A confined program cannot be checked for leaks at its exit: LeakSanitizer stops the world
  // with ptrace, which the sandbox refuses.
  std::string asanOptions = "verify_asan_link_order=0:detect_leaks=0";
  // NOLINTNEXTLINE(concurrency-mt-unsafe): no test changes the sanitizers' options while it runs
  if (const char* existing = std::getenv("ASAN_OPTIONS")) {
    asanOptions = std::string(existing) + ":" + asanOptions;
  }
  std::string tsanOptions = "report_mutex_bugs=0";
  // NOLINTNEXTLINE(concurrency-mt-unsafe): as above
  if (const char* existing = std::getenv("TSAN_OPTIONS")) {
    tsanOptions = std::string(existing) + ":" + tsanOptions;
  }
  return {{"LD_PRELOAD", nssWrapperLibrary()},
          {"NSS_WRAPPER_PASSWD", passwdFile},
          {"NSS_WRAPPER_GROUP", groupFile},
          {"ASAN_OPTIONS", asanOptions},
          {"TSAN_OPTIONS", tsanOptions}};
}

}  // namespace testing_support
