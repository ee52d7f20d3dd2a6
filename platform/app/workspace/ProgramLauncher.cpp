#include "platform/app/workspace/ProgramLauncher.hpp"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <system_error>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
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

using posix::throwSystemError;

bool isRegularFile(const Url& url) {
  struct stat info {};
  return ::stat(url.path().c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// What to execute: a path, or an open file.
struct Executable {
  const char* path = nullptr;
  int file = -1;
};

// The two processes below share this process's memory (CLONE_VM), and the thread that starts
// them waits while they run (CLONE_VFORK): nothing is copied, which makes a launch cheap. They
// may be started from a thread among others, so they make system calls only, never through a
// library's state: no allocation, no lock, no signal handler of ours, no sanitizer's bookkeeping.
using CloneFunction = int (*)(int (*)(void*), void*, int, void*, ...);

struct Launch {
  Executable executable;
  char* const* argv = nullptr;
  char* const* environment = nullptr;
  void* programStack = nullptr;  // the top of the program's stack, until it executes
  CloneFunction clone = nullptr;
  pid_t pid = 0;  // the program's, once started
  int error = 0;  // why it could not be started or executed
};

constexpr std::size_t launchStackSize = std::size_t{64} << 10;

// The kernel's own struct sigaction, which the C library's differs from.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  std::uint64_t mask;
};

#define LAUNCH_CHILD __attribute__((no_sanitize("address", "thread", "undefined"), noinline))

LAUNCH_CHILD long systemCall(long number, long a = 0, long b = 0, long c = 0, long d = 0,
                             long e = 0) {
  return ::syscall(number, a, b, c, d, e);
}

LAUNCH_CHILD void execute(const Launch& launch) {
  const auto argv = reinterpret_cast<long>(launch.argv);
  const auto environment = reinterpret_cast<long>(launch.environment);
  if (launch.executable.file < 0) {
    systemCall(SYS_execve, reinterpret_cast<long>(launch.executable.path), argv, environment);
    return;
  }
  const auto empty = reinterpret_cast<long>("");
  systemCall(SYS_execveat, launch.executable.file, empty, argv, environment, AT_EMPTY_PATH);
  // A script's interpreter opens it again as /dev/fd/N, which a close-on-exec descriptor would
  // no longer name: only then is the descriptor handed on.
  if (errno == ENOENT && systemCall(SYS_fcntl, launch.executable.file, F_SETFD, 0) == 0) {
    systemCall(SYS_execveat, launch.executable.file, empty, argv, environment, AT_EMPTY_PATH);
  }
}

// The program's process: every signal back at its default, standard input from /dev/null, a
// session of its own, no descriptor but the standard ones handed on.
LAUNCH_CHILD int becomeProgram(void* argument) {
  auto& launch = *static_cast<Launch*>(argument);
  systemCall(SYS_setsid);
  const auto devNull =
      systemCall(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"), O_RDONLY | O_CLOEXEC);
  if (devNull > 0) systemCall(SYS_dup3, devNull, STDIN_FILENO, 0);
  if (devNull == 0) systemCall(SYS_fcntl, STDIN_FILENO, F_SETFD, 0);
  // A launcher may ignore signals of its own (the launch broker ignores the terminal's).
  const KernelSigaction byDefault{};
  for (long signal = 1; signal < NSIG; ++signal) {
    systemCall(SYS_rt_sigaction, signal, reinterpret_cast<long>(&byDefault), 0,
               sizeof byDefault.mask);
  }
  const std::uint64_t none = 0;
  systemCall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&none), 0, sizeof none);
  systemCall(SYS_close_range, 3, ~0U, CLOSE_RANGE_CLOEXEC);
  execute(launch);
  launch.error = errno;
  systemCall(SYS_exit_group, 127);
  return 127;
}

// The C library's own clone(). A sanitizer puts a clone() of its own in front, which takes every
// clone for a fork and starts the child by resetting the sanitizer's state: in processes that
// share our memory, that would be our state.
CloneFunction libraryClone() {
  static const CloneFunction function = [] {
    void* library = ::dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    void* found = library != nullptr ? ::dlsym(library, "clone") : nullptr;
    return found != nullptr ? reinterpret_cast<CloneFunction>(found) : &::clone;
  }();
  return function;
}

// Starts the program and ends at once, which leaves the program to init: it is not the
// launcher's child to reap.
LAUNCH_CHILD int leaveProgramToInit(void* argument) {
  auto& launch = *static_cast<Launch*>(argument);
  const int pid =
      launch.clone(becomeProgram, launch.programStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &launch);
  if (pid < 0) {
    launch.error = errno;
  } else {
    launch.pid = pid;
  }
  systemCall(SYS_exit_group, 0);
  return 0;
}

// The launching thread's signals, all blocked while the processes sharing its memory start, so
// that no handler of this process runs in them; put back as it goes.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};

// The two stacks of the started processes, the program's above the other's.
class LaunchStacks {
 public:
  LaunchStacks()
      : memory_(::mmap(nullptr, 2 * launchStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0)) {
    if (memory_ == MAP_FAILED) throwSystemError(errno, "mmap");
  }
  ~LaunchStacks() { ::munmap(memory_, 2 * launchStackSize); }
  LaunchStacks(const LaunchStacks&) = delete;
  LaunchStacks& operator=(const LaunchStacks&) = delete;

  // Stacks grow down: each is named by its top.
  void* first() const { return static_cast<std::byte*>(memory_) + launchStackSize; }
  void* second() const { return static_cast<std::byte*>(memory_) + 2 * launchStackSize; }

 private:
  void* memory_;
};

pid_t startDetached(const Executable& executable, const std::vector<std::string>& argv) {
  if (argv.empty()) throwSystemError(EINVAL, "launch");
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  const LaunchStacks stacks;
  Launch launch{.executable = executable,
                .argv = args.data(),
                .environment = environ,
                .programStack = stacks.second(),
                .clone = libraryClone()};
  pid_t middle = -1;
  int cloneError = 0;
  {
    const SignalsHeld held;
    // Returns once the middle process has ended, which it does once the program has executed or
    // failed to.
    middle =
        launch.clone(leaveProgramToInit, stacks.first(), CLONE_VM | CLONE_VFORK | SIGCHLD, &launch);
    cloneError = errno;
  }
  if (middle < 0) throwSystemError(cloneError, "clone");
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  if (launch.error != 0) throwSystemError(launch.error, "launch", argv[0]);
  if (launch.pid <= 0) throwSystemError(ECHILD, "launch", "the launching process ended early");
  return launch.pid;
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
