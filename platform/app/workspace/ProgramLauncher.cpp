#include "platform/app/workspace/ProgramLauncher.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The program's path: as given when it holds a "/", else found in $PATH as execvp would.
std::string findProgram(const std::string& name) {
  if (name.empty()) fail(ENOENT, "empty program name");
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
  std::istringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
    if (isExecutableFile(candidate)) return candidate;
  }
  fail(ENOENT, name);
}

// What the started side reports through the pipe, in this order: the program's process id
// (0 when it could not even be made), then nothing when exec succeeded, or an errno.
void writeInt(int fd, int value) {
  const char* bytes = reinterpret_cast<const char*>(&value);
  std::size_t done = 0;
  while (done < sizeof value) {
    const ssize_t n = ::write(fd, bytes + done, sizeof value - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Reads one int; false at the end of the pipe.
bool readInt(int fd, int& value) {
  char* bytes = reinterpret_cast<char*>(&value);
  std::size_t done = 0;
  while (done < sizeof value) {
    const ssize_t n = ::read(fd, bytes + done, sizeof value - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// In the forked children only async-signal-safe calls happen: the process may have threads.
[[noreturn]] void becomeProgram(int report, const char* program, char* const* argv) {
  ::setsid();
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
  writeInt(report, static_cast<int>(::getpid()));
  ::execv(program, argv);
  writeInt(report, errno);
  ::_exit(127);
}

class DirectLauncher final : public ProgramLauncher {
 public:
  pid_t start(const std::vector<std::string>& argv) override {
    if (argv.empty()) fail(EINVAL, "no program");
    const std::string program = findProgram(argv[0]);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    std::array<int, 2> pipe{};
    if (::pipe2(pipe.data(), O_CLOEXEC) != 0) fail(errno, "pipe2");
    const pid_t middle = ::fork();
    if (middle < 0) {
      const int error = errno;
      ::close(pipe[0]);
      ::close(pipe[1]);
      fail(error, "fork");
    }
    if (middle == 0) {
      // Forking twice leaves the program to init: it is not this process's child to reap.
      ::close(pipe[0]);
      const pid_t child = ::fork();
      if (child == 0) becomeProgram(pipe[1], program.c_str(), args.data());
      if (child < 0) {
        writeInt(pipe[1], 0);
        writeInt(pipe[1], errno);
      }
      ::_exit(0);
    }
    ::close(pipe[1]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    int pid = 0;
    int error = 0;
    const bool gotPid = readInt(pipe[0], pid);
    const bool failed = gotPid && readInt(pipe[0], error);
    ::close(pipe[0]);
    if (!gotPid) fail(ECHILD, "the launching process ended early");
    if (failed) fail(error, program);
    return pid;
  }
};

}  // namespace

std::shared_ptr<ProgramLauncher> ProgramLauncher::direct() {
  return std::make_shared<DirectLauncher>();
}

}  // namespace platform
