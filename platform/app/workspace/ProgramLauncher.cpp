#include "platform/app/workspace/ProgramLauncher.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
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

// The file actions and attributes of a start as desktop launchers make it: a session of its own,
// every signal at its default and none blocked, standard input from /dev/null, and no descriptor
// beyond the standard ones but `keep` (-1: none), which the program gets as descriptor 3.
class SpawnSettings {
 public:
  explicit SpawnSettings(int keep) {
    check(::posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init");
    check(::posix_spawnattr_init(&attributes_), "posix_spawnattr_init");
    check(::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
          "posix_spawn_file_actions_addopen");
    if (keep >= 0) {
      check(::posix_spawn_file_actions_adddup2(&actions_, keep, 3),
            "posix_spawn_file_actions_adddup2");
    }
    check(::posix_spawn_file_actions_addclosefrom_np(&actions_, keep >= 0 ? 4 : 3),
          "posix_spawn_file_actions_addclosefrom_np");
    // Every signal, the C library's own two included, which sigfillset() leaves out and
    // posix_spawn() would otherwise hand on ignored.
    sigset_t all;
    std::memset(&all, 0xFF, sizeof all);
    sigset_t none;
    sigemptyset(&none);
    check(::posix_spawnattr_setsigdefault(&attributes_, &all), "posix_spawnattr_setsigdefault");
    check(::posix_spawnattr_setsigmask(&attributes_, &none), "posix_spawnattr_setsigmask");
    check(::posix_spawnattr_setflags(
              &attributes_, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK),
          "posix_spawnattr_setflags");
  }
  ~SpawnSettings() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  // Starts `path` with `argv`; returns its process id. Throws with the errno of starting or
  // executing it, which posix_spawn reports itself.
  pid_t spawn(const std::string& path, const std::vector<std::string>& argv) const {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    check(::posix_spawn(&pid, path.c_str(), &actions_, &attributes_, args.data(), environ),
          "launch", argv.front());
    return pid;
  }

 private:
  static void check(int error, const char* what, const std::string& detail = {}) {
    if (error != 0) throwSystemError(error, what, detail);
  }

  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
};

// A started program is this process's child: it is reaped once it ends, so that it leaves no
// zombie behind while this process runs on. Should this process end first, init takes it over.
void reapWhenItEnds(pid_t pid) {
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

// Whether the file open at `program` is a script, which its interpreter opens again by name.
bool isScript(int program) {
  const std::string path = "/proc/self/fd/" + std::to_string(program);
  const posix::FileDescriptor file = posix::openAt(AT_FDCWD, path.c_str(), O_RDONLY);
  std::array<char, 2> start{};
  return file.valid() && posix::readAll(file.get(), start.data(), start.size()) == 2 &&
         start[0] == '#' && start[1] == '!';
}

pid_t startDetached(const std::string& path, const std::vector<std::string>& argv, int keep = -1) {
  if (argv.empty()) throwSystemError(EINVAL, "launch");
  const pid_t pid = SpawnSettings(keep).spawn(path, argv);
  reapWhenItEnds(pid);
  return pid;
}

class DirectLauncher final : public ProgramLauncher {
 public:
  std::vector<pid_t> open(const Url& application, const std::vector<Url>& files) override {
    if (application_bus::openThrough(application, files)) return {};
    return startInTurn(commandLinesFor(application, files), startProgram);
  }
};

}  // namespace

std::vector<FileCommandLine> commandLinesFor(const Url& application, const std::vector<Url>& files,
                                             std::size_t room) {
  if (application.pathExtension() == "desktop" && isRegularFile(application)) {
    return DesktopEntry::read(application).commandLines(files, room);
  }
  const auto executable = Bundle(application).executableURL();
  if (!executable)
    throwSystemError(ENOENT, "no Contents/Info.plist naming a program", application.path());
  FileCommandLine line{.before = {executable->path()}};
  line.files.reserve(files.size());
  for (const auto& url : files) {
    line.files.push_back(url.isFileURL() ? url.path() : url.absoluteString());
  }
  return fitCommandLine(std::move(line), room);
}

pid_t startProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) throwSystemError(EINVAL, "launch");
  return startDetached(findProgram(argv[0]), argv);
}

pid_t startProgramFile(int program, const std::vector<std::string>& argv) {
  // Executed by the name that this process's descriptor has in /proc while the start waits for
  // the exec: the very file that is open, looked up nowhere. A script's interpreter opens it
  // again once it runs: it gets the file as its descriptor 3, and its name /dev/fd/3.
  if (isScript(program)) return startDetached("/dev/fd/3", argv, program);
  return startDetached("/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(program),
                       argv);
}

std::shared_ptr<ProgramLauncher> ProgramLauncher::direct() {
  return std::make_shared<DirectLauncher>();
}

}  // namespace platform
