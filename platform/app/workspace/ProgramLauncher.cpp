#include "platform/app/workspace/ProgramLauncher.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/app/workspace/ApplicationBus.hpp"
#include "platform/app/workspace/Bundle.hpp"
#include "platform/app/workspace/DesktopEntry.hpp"
#include "platform/app/workspace/ProgramLookup.hpp"
#include "platform/detail/Posix.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration): unistd.h declares it only with
                        // _GNU_SOURCE

namespace platform {
namespace {

using posix::FileDescriptor;
using posix::throwSystemError;

bool isRegularFile(const Url& url) {
  struct stat info {};
  return ::stat(url.path().c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// What the started side reports through the pipe, in this order: the program's process id
// (0 when it could not even be made), then nothing when exec succeeded, or an errno.
void writeInt(int fd, int value) { posix::writeAll(fd, &value, sizeof value); }

// Reads one int; false at the end of the pipe.
bool readInt(int fd, int& value) {
  return posix::readAll(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

// What to execute: a path, or an open file.
struct Executable {
  const char* path = nullptr;
  int file = -1;
};

void execute(const Executable& executable, char* const* argv) {
  if (executable.file < 0) {
    ::execv(executable.path, argv);
    return;
  }
  ::syscall(SYS_execveat, executable.file, "", argv, environ, AT_EMPTY_PATH);
  // A script's interpreter opens it again as /dev/fd/N, which a close-on-exec descriptor would
  // no longer name: only then is the descriptor handed on.
  if (errno == ENOENT && ::fcntl(executable.file, F_SETFD, 0) == 0) {
    ::syscall(SYS_execveat, executable.file, "", argv, environ, AT_EMPTY_PATH);
  }
}

// In the forked children only async-signal-safe calls happen: the process may have threads.
[[noreturn]] void becomeProgram(int report, const Executable& executable, char* const* argv) {
  ::setsid();
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
  // A launcher may ignore signals of its own (the launch broker ignores the terminal's).
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &byDefault, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
  writeInt(report, static_cast<int>(::getpid()));
  execute(executable, argv);
  writeInt(report, errno);
  ::_exit(127);
}

pid_t startDetached(const Executable& executable, const std::vector<std::string>& argv) {
  if (argv.empty()) throwSystemError(EINVAL, "launch");
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
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
    if (child == 0) becomeProgram(writeEnd.get(), executable, args.data());
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
  if (failed) throwSystemError(error, "launch", argv[0]);
  return pid;
}

class DirectLauncher final : public ProgramLauncher {
 public:
  std::vector<pid_t> open(const Url& application, const std::vector<Url>& files) override {
    if (application_bus::openThrough(application, files)) return {};
    std::vector<pid_t> started;
    for (const auto& argv : commandLinesFor(application, files)) {
      started.push_back(startProgram(argv));
    }
    return started;
  }
};

}  // namespace

std::vector<std::vector<std::string>> commandLinesFor(const Url& application,
                                                      const std::vector<Url>& files) {
  if (application.pathExtension() == "desktop" && isRegularFile(application)) {
    return DesktopEntry::read(application).commandLines(files);
  }
  const auto executable = Bundle(application).executableURL();
  if (!executable)
    throwSystemError(ENOENT, "no Contents/Info.plist naming a program", application.path());
  std::vector<std::string> argv{executable->path()};
  for (const auto& url : files) {
    argv.push_back(url.isFileURL() ? url.path() : url.absoluteString());
  }
  return {argv};
}

pid_t startProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) throwSystemError(EINVAL, "launch");
  const std::string program = findProgram(argv[0]);
  return startDetached({.path = program.c_str()}, argv);
}

pid_t startProgramFile(int program, const std::vector<std::string>& argv) {
  return startDetached({.file = program}, argv);
}

std::shared_ptr<ProgramLauncher> ProgramLauncher::direct() {
  return std::make_shared<DirectLauncher>();
}

}  // namespace platform
