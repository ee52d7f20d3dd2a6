#include "platform/app/sandbox/LaunchBroker.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileManager.hpp"
#include "platform/app/workspace/Bundle.hpp"

namespace platform {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// The wire: a request is its kind, then for a start the count of arguments and each argument as
// its length and its bytes, answered by an errno (0 when the program started) and the program's
// process id; for executables the count of process ids and the ids, answered for each by an
// errno and the path's length and bytes. Sizes are bounded so that a confused peer cannot make
// the broker hold more than a command line.
enum class RequestKind : std::uint32_t { start = 1, executables = 2 };
constexpr std::uint32_t maximumProcesses = 1U << 16;
constexpr std::uint32_t maximumArguments = 1U << 16;
constexpr std::uint32_t maximumArgument = 1U << 20;
constexpr std::size_t maximumRequest = std::size_t{8} << 20;
constexpr std::uint32_t maximumPath = 4096;

struct StartReply {
  std::int32_t error = 0;
  std::int32_t pid = 0;
};

struct ExecutableReply {
  std::int32_t error = 0;
  std::uint32_t length = 0;
};

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool receiveAll(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

template <class T>
void append(std::string& buffer, T value) {
  buffer.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <class T>
bool receiveValue(int fd, T& value) {
  return receiveAll(fd, reinterpret_cast<char*>(&value), sizeof value);
}

// A start request's command line; none at the end of the connection, or out of bounds.
std::optional<std::vector<std::string>> receiveCommandLine(int fd) {
  std::uint32_t count = 0;
  if (!receiveValue(fd, count) || count == 0 || count > maximumArguments) return std::nullopt;
  std::vector<std::string> argv(count);
  std::size_t total = 0;
  for (auto& argument : argv) {
    std::uint32_t length = 0;
    if (!receiveValue(fd, length) || length > maximumArgument) return std::nullopt;
    total += length;
    if (total > maximumRequest) return std::nullopt;
    argument.resize(length);
    if (!receiveAll(fd, argument.data(), length)) return std::nullopt;
  }
  return argv;
}

// What the broker will not trust: the folders where the confined side may write, known by
// device and inode.
class UntrustedFolders {
 public:
  explicit UntrustedFolders(const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0) folders_.emplace_back(info.st_dev, info.st_ino);
    }
  }

  // True when the real path `path`, or a folder above it, is one of them.
  bool hold(const std::filesystem::path& path) const {
    for (auto at = path; !at.empty(); at = at.parent_path()) {
      struct stat info {};
      if (::stat(at.c_str(), &info) == 0 &&
          std::find(folders_.begin(), folders_.end(), std::pair(info.st_dev, info.st_ino)) !=
              folders_.end()) {
        return true;
      }
      if (at == at.root_path()) break;
    }
    return false;
  }

 private:
  std::vector<std::pair<dev_t, ino_t>> folders_;
};

std::filesystem::path realPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) fail(errno, path);
  std::filesystem::path real(resolved);
  std::free(resolved);  // NOLINT(cppcoreguidelines-no-malloc): realpath's own allocation
  return real;
}

// A file the workspace may hand to a program: an absolute path or a URL, never an option.
std::optional<Url> openedItem(const std::string& argument) {
  if (argument.starts_with('/')) return Url::fileURL(argument, /*isDirectory=*/false);
  return Url::parse(argument);
}

bool isBundleProgram(const std::vector<std::string>& argv, const UntrustedFolders& untrusted) {
  const std::filesystem::path program(argv[0]);
  const auto macOS = program.parent_path();
  if (!program.is_absolute() || macOS.filename() != "MacOS" ||
      macOS.parent_path().filename() != "Contents") {
    return false;
  }
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (!openedItem(argv[i])) return false;
  }
  std::error_code error;
  const auto bundle = std::filesystem::canonical(macOS.parent_path().parent_path(), error);
  if (error || untrusted.hold(bundle)) return false;
  // Neither the property list that names the program nor the program's folder may be the
  // confined side's to write, through a link or otherwise.
  for (const auto& part : {bundle / "Contents/Info.plist", macOS}) {
    const auto real = std::filesystem::canonical(part, error);
    if (error || untrusted.hold(real)) return false;
  }
  const auto executable =
      Bundle(Url::fileURL(bundle.string(), /*isDirectory=*/true)).infoValue("CFBundleExecutable");
  return executable && *executable == program.filename().string();
}

// True when `entry` makes exactly `argv` to open some files: the files' arguments are found by
// trying each place in argv where the line's file code could have put them.
bool makes(const DesktopEntry& entry, const std::vector<std::string>& argv) {
  std::vector<std::vector<std::string>> withoutFiles;
  try {
    withoutFiles = entry.commandLines({});
  } catch (const std::system_error&) {
    return false;
  }
  if (withoutFiles.size() != 1 || withoutFiles[0].size() > argv.size()) return false;
  const std::size_t count = argv.size() - withoutFiles[0].size();
  for (std::size_t at = 1; at + count <= argv.size(); ++at) {
    std::vector<Url> files;
    for (std::size_t i = at; i < at + count; ++i) {
      auto item = openedItem(argv[i]);
      if (!item) break;
      files.push_back(std::move(*item));
    }
    if (files.size() != count) continue;
    const auto lines = entry.commandLines(files);
    if (std::find(lines.begin(), lines.end(), argv) != lines.end()) return true;
  }
  return false;
}

bool isDesktopEntryCommand(const std::vector<std::string>& argv,
                           const std::vector<Url>& applicationFolders,
                           const UntrustedFolders& untrusted) {
  for (const auto& folder : applicationFolders) {
    std::error_code listing;
    for (std::filesystem::directory_iterator entries(folder.path(), listing), end;
         !listing && entries != end; entries.increment(listing)) {
      const auto& path = entries->path();
      std::error_code error;
      if (path.extension() != ".desktop" || !entries->is_regular_file(error)) continue;
      const auto real = std::filesystem::canonical(path, error);
      if (error || untrusted.hold(real)) continue;
      try {
        // Read where the workspace finds it, which %k names.
        const auto entry = DesktopEntry::read(Url::fileURL(path.string(), false));
        if (!entry.isHidden() && makes(entry, argv)) return true;
      } catch (const std::system_error&) {
        // Unreadable: not an entry the workspace could have used.
      }
    }
  }
  return false;
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The program's path: as given when it holds a "/", else found in $PATH as the direct launcher
// finds it.
std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): one thread here
  std::istringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
    if (isExecutableFile(candidate)) return candidate;
  }
  fail(ENOENT, name);
}

// The command line to execute for `argv`, its program by its real path; throws EPERM for a
// command line the workspace would not have made, or the errno of finding the program.
std::vector<std::string> approve(std::vector<std::string> argv, const UntrustedFolders& untrusted,
                                 const std::vector<Url>& applicationFolders) {
  if (argv.empty() || argv[0].empty()) fail(EINVAL, "no program");
  if (!isBundleProgram(argv, untrusted) &&
      !isDesktopEntryCommand(argv, applicationFolders, untrusted)) {
    fail(EPERM, argv[0] + ": not an application's program");
  }
  const auto program = realPath(findProgram(argv[0]));
  if (untrusted.hold(program)) fail(EPERM, argv[0] + ": lies where the confined side writes");
  argv[0] = program.string();
  return argv;
}

// Answers one start request; false when the connection has ended.
bool serveStart(int connection, ProgramLauncher& launcher, const UntrustedFolders& untrusted,
                const std::vector<Url>& applicationFolders) {
  const auto commandLine = receiveCommandLine(connection);
  if (!commandLine) return false;
  StartReply reply;
  try {
    reply.pid = launcher.start(approve(*commandLine, untrusted, applicationFolders));
  } catch (const std::system_error& failure) {
    reply.error = failure.code().category() == std::generic_category() ||
                          failure.code().category() == std::system_category()
                      ? failure.code().value()
                      : EIO;
  } catch (...) {
    reply.error = EIO;
  }
  return sendAll(connection, reinterpret_cast<const char*>(&reply), sizeof reply);
}

// Answers one executables request; false when the connection has ended.
bool serveExecutables(int connection) {
  std::uint32_t count = 0;
  if (!receiveValue(connection, count) || count > maximumProcesses) return false;
  std::vector<std::int32_t> pids(count);
  if (!receiveAll(connection, reinterpret_cast<char*>(pids.data()), count * sizeof(std::int32_t))) {
    return false;
  }
  std::string replies;
  std::string target(maximumPath, '\0');
  for (const std::int32_t pid : pids) {
    ExecutableReply reply;
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = pid > 0 ? ::readlink(link.c_str(), target.data(), target.size()) : -1;
    if (length < 0) {
      reply.error = pid > 0 ? errno : ESRCH;
    } else if (static_cast<std::size_t>(length) == target.size()) {
      reply.error = ENAMETOOLONG;
    } else {
      reply.length = static_cast<std::uint32_t>(length);
    }
    append(replies, reply);
    replies.append(target.data(), reply.length);
  }
  return sendAll(connection, replies.data(), replies.size());
}

[[noreturn]] void serve(int connection, const UntrustedFolders& untrusted,
                        const std::vector<Url>& applicationFolders,
                        const std::optional<std::string>& removeAtEnd) {
  const auto launcher = ProgramLauncher::direct();
  for (RequestKind kind{}; receiveValue(connection, kind);) {
    const bool served = kind == RequestKind::start
                            ? serveStart(connection, *launcher, untrusted, applicationFolders)
                        : kind == RequestKind::executables ? serveExecutables(connection)
                                                           : false;
    if (!served) break;
  }
  if (removeAtEnd) {
    try {
      fileManager::removeItem(Url::fileURL(*removeAtEnd, /*isDirectory=*/true));
    } catch (...) {
      // Nothing to report to, and nobody else to do it.
    }
  }
  ::_exit(0);
}

// In the forked broker: standard input from /dev/null, no descriptor of the process but the
// standard ones and the connection. Ends the process, never returns.
[[noreturn]] void becomeBroker(int connection, const std::vector<std::string>& untrusted,
                               const std::vector<Url>& applicationFolders,
                               const std::optional<std::string>& removeAtEnd) {
  try {
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull >= 0) {
      ::dup2(devNull, STDIN_FILENO);
      ::close(devNull);
    }
    if (connection > 3) ::syscall(SYS_close_range, 3U, static_cast<unsigned>(connection - 1), 0U);
    ::syscall(SYS_close_range, static_cast<unsigned>(connection + 1), ~0U, 0U);
    serve(connection, UntrustedFolders(untrusted), applicationFolders, removeAtEnd);
  } catch (...) {
    ::_exit(1);
  }
}

}  // namespace

LaunchBroker::LaunchBroker(const std::vector<std::string>& untrusted,
                           const std::optional<std::string>& removeAtEnd,
                           const std::vector<Url>& applicationFolders) {
  std::array<int, 2> pair{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()) != 0) {
    fail(errno, "socketpair");
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(pair[0]);
    ::close(pair[1]);
    fail(error, "fork");
  }
  if (pid == 0) {
    ::close(pair[0]);
    becomeBroker(pair[1], untrusted, applicationFolders, removeAtEnd);
  }
  ::close(pair[1]);
  connection_ = pair[0];
  broker_ = pid;
}

LaunchBroker::~LaunchBroker() {
  ::close(connection_);
  while (::waitpid(broker_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

pid_t LaunchBroker::start(const std::vector<std::string>& argv) {
  if (argv.empty()) fail(EINVAL, "no program");
  if (argv.size() > maximumArguments) fail(E2BIG, argv[0]);
  std::string request;
  append(request, RequestKind::start);
  append(request, static_cast<std::uint32_t>(argv.size()));
  for (const auto& argument : argv) {
    if (argument.size() > maximumArgument) fail(E2BIG, argv[0]);
    append(request, static_cast<std::uint32_t>(argument.size()));
    request += argument;
  }
  if (request.size() > maximumRequest) fail(E2BIG, argv[0]);

  const std::lock_guard lock(requests_);
  StartReply reply;
  if (!sendAll(connection_, request.data(), request.size()) || !receiveValue(connection_, reply)) {
    fail(EPIPE, "the launch broker has ended");
  }
  if (reply.error != 0) fail(reply.error, argv[0]);
  return reply.pid;
}

std::vector<std::optional<std::string>> LaunchBroker::executablesOf(
    const std::vector<pid_t>& pids) {
  std::vector<std::optional<std::string>> paths(pids.size());
  for (std::size_t first = 0; first < pids.size(); first += maximumProcesses) {
    const std::size_t count = std::min<std::size_t>(maximumProcesses, pids.size() - first);
    std::string request;
    append(request, RequestKind::executables);
    append(request, static_cast<std::uint32_t>(count));
    for (std::size_t i = first; i < first + count; ++i) {
      append(request, static_cast<std::int32_t>(pids[i]));
    }
    const std::lock_guard lock(requests_);
    if (!sendAll(connection_, request.data(), request.size())) return paths;
    for (std::size_t i = first; i < first + count; ++i) {
      ExecutableReply reply;
      if (!receiveValue(connection_, reply) || reply.length > maximumPath) return paths;
      std::string path(reply.length, '\0');
      if (!receiveAll(connection_, path.data(), path.size())) return paths;
      if (reply.error == 0) paths[i] = std::move(path);
    }
  }
  return paths;
}

}  // namespace platform
