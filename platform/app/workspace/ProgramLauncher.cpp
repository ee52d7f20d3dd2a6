#include "platform/app/workspace/ProgramLauncher.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/detail/Posix.hpp"

namespace platform {
namespace {

using posix::FileDescriptor;
using posix::throwSystemError;

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The program's path: as given when it holds a "/", else found in $PATH as execvp would.
std::string findProgram(const std::string& name) {
  if (name.empty()) throwSystemError(ENOENT, "find program");
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
  std::istringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
    if (isExecutableFile(candidate)) return candidate;
  }
  throwSystemError(ENOENT, "find program", name);
}

// What the started side reports through the pipe, in this order: the program's process id
// (0 when it could not even be made), then nothing when exec succeeded, or an errno.
void writeInt(int fd, int value) { posix::writeAll(fd, &value, sizeof value); }

// Reads one int; false at the end of the pipe.
bool readInt(int fd, int& value) {
  return posix::readAll(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
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
    if (argv.empty()) throwSystemError(EINVAL, "launch");
    const std::string program = findProgram(argv[0]);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    std::array<int, 2> ends{};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) throwSystemError(errno, "pipe2");
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);
    const pid_t middle = ::fork();
    if (middle < 0) throwSystemError(errno, "fork");
    if (middle == 0) {
      // Forking twice leaves the program to init: it is not this process's child to reap.
      readEnd = FileDescriptor();
      const pid_t child = ::fork();
      if (child == 0) becomeProgram(writeEnd.get(), program.c_str(), args.data());
      if (child < 0) {
        const int error = errno;
        writeInt(writeEnd.get(), 0);
        writeInt(writeEnd.get(), error);
      }
      ::_exit(0);
    }
    writeEnd = FileDescriptor();
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    int pid = 0;
    int error = 0;
    const bool gotPid = readInt(readEnd.get(), pid);
    const bool failed = gotPid && readInt(readEnd.get(), error);
    if (!gotPid) throwSystemError(ECHILD, "launch", "the launching process ended early");
    if (failed) throwSystemError(error, "launch", program);
    return pid;
  }
};

}  // namespace

std::shared_ptr<ProgramLauncher> ProgramLauncher::direct() {
  return std::make_shared<DirectLauncher>();
}

}  // namespace platform
