#include "platform/app/sandbox/LaunchBroker.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileManager.hpp"
#include "platform/app/sandbox/BrokerWire.hpp"
#include "platform/app/workspace/ApplicationBus.hpp"

namespace platform {
namespace {

using brokerwire::Message;
using brokerwire::Request;

// Executables asked for in one request: their answers stay well within a message's bounds.
constexpr std::size_t executablesPerRequest = 1024;
// What the terminal sends, or a signal to the share's process group.
constexpr std::array ignoredSignals{SIGINT, SIGHUP, SIGTERM};

std::optional<std::int64_t> number(const std::string& text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int errnoOf(const std::system_error& failure) {
  const auto& category = failure.code().category();
  const bool isErrno = category == std::generic_category() || category == std::system_category();
  return isErrno && failure.code().value() != 0 ? failure.code().value() : EIO;
}

std::vector<Url> fileURLs(const std::vector<std::string>& files) {
  std::vector<Url> urls;
  urls.reserve(files.size());
  for (const auto& file : files) urls.push_back(Url::fileURL(file, /*isDirectory=*/false));
  return urls;
}

// The trusted application known only by the name it owns on the session bus: the files go to
// that name over the bus, or nowhere (ENOENT) when nobody owns it by now.
Message answerOpenByName(const LaunchPolicy& policy, const std::vector<std::string>& files) {
  policy.verifyFiles(files);
  if (!application_bus::openThrough(policy.trust().applicationIdentifier,
                                    /*activatable=*/false, fileURLs(files))) {
    return {ENOENT, {}};
  }
  return {};
}

Message answerOpen(const LaunchPolicy& policy, const std::vector<std::string>& fields) {
  if (fields.empty()) return {EINVAL, {}};
  Message answer;
  try {
    const std::vector<std::string> files(fields.begin() + 1, fields.end());
    const auto byName = application_bus::busLocation(policy.trust().applicationIdentifier);
    if (byName && fields.front() == byName->absoluteString()) {
      return answerOpenByName(policy, files);
    }
    const auto launch = policy.verify(fields.front(), files);
    // The trusted application takes the files over the session bus where it is D-Bus activatable
    // or runs and owns its name: the broker makes the call, since the confined side may open no
    // socket. Its name is the trusted identifier, never one the confined side gives.
    if (application_bus::openThrough(policy.trust().applicationIdentifier, launch.dbusActivatable,
                                     fileURLs(files))) {
      return answer;
    }
    const auto started =
        startInTurn(launch.commandLines, [&](const std::vector<std::string>& argv) {
          return startProgramFile(launch.program.get(), argv);
        });
    for (const pid_t pid : started) answer.fields.push_back(std::to_string(pid));
  } catch (const std::system_error& failure) {
    return {static_cast<std::uint32_t>(errnoOf(failure)), {}};
  } catch (...) {
    return {EIO, {}};
  }
  return answer;
}

// Where the executable of process `pid` lies, if the process is the sharing user's: the look-up
// is for running instances of that user's application, and nobody else's are the confined
// side's business. The process's folder, once open, speaks of that process only.
std::optional<std::string> executableOf(std::int64_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid);
  const posix::FileDescriptor process =
      posix::openAt(AT_FDCWD, folder.c_str(), O_PATH | O_DIRECTORY);
  struct stat owner {};
  if (!process.valid() || ::fstat(process.get(), &owner) != 0 || owner.st_uid != ::getuid()) {
    return std::nullopt;
  }
  return posix::readLinkAt(process.get(), "exe");
}

// The owner of the trusted application's bus name, where it is the sharing user's process; the
// confined side may ask after no other name.
Message answerBusOwner(const LaunchPolicy& policy, const std::vector<std::string>& fields) {
  if (fields.size() != 1 || fields.front() != policy.trust().applicationIdentifier) return {};
  const auto owner = application_bus::ownerProcess(fields.front());
  if (!owner || !executableOf(*owner)) return {};
  return {0, {std::to_string(*owner)}};
}

Message answerExecutables(const std::vector<std::string>& fields) {
  Message answer;
  for (const auto& field : fields) {
    const auto pid = number(field);
    std::optional<std::string> target;
    if (pid && *pid > 0) target = executableOf(*pid);
    answer.fields.push_back(target.value_or(""));
  }
  return answer;
}

// Sends `answer`, or where it would break the wire's bounds (the paths of very many processes)
// refuses the request with E2BIG: the confined side may ask anything, and the broker serves on.
bool sendAnswer(int connection, const Message& answer) {
  try {
    return brokerwire::send(connection, answer);
  } catch (const std::system_error& failure) {
    return brokerwire::send(connection, {static_cast<std::uint32_t>(errnoOf(failure)), {}});
  }
}

// The broker's end, once, from whichever thread sees it first: the folder it was given goes,
// which the confined side cannot remove, and the process ends, whatever call is under way.
class BrokerEnd {
 public:
  explicit BrokerEnd(std::optional<std::string> removeAtEnd)
      : removeAtEnd_(std::move(removeAtEnd)) {}

  [[noreturn]] void now() {
    // A second caller waits here until the first has ended the process.
    mutex_.lock();
    if (removeAtEnd_) {
      try {
        fileManager::removeItem(Url::fileURL(*removeAtEnd_, /*isDirectory=*/true));
      } catch (...) {
        // Nothing to report to, and nobody else to do it.
      }
    }
    ::_exit(0);
  }

 private:
  std::mutex mutex_;
  std::optional<std::string> removeAtEnd_;
};

// Ends the broker when the share's process has ended (`share`, its pidfd: a child that the
// confined side left holding the connection does not keep the broker), or when the share hangs
// up (even while a request keeps the serving thread, a call to an application that does not
// answer).
void watchTheShare(int share, int connection, BrokerEnd& end) {
  std::array<pollfd, 2> watched{pollfd{connection, POLLRDHUP, 0}, pollfd{share, POLLIN, 0}};
  const nfds_t count = share >= 0 ? 2 : 1;
  while (::poll(watched.data(), count, -1) < 0 && errno == EINTR) {
  }
  end.now();
}

[[noreturn]] void serve(int connection, int share, const LaunchPolicy& policy,
                        const std::optional<std::string>& removeAtEnd) {
  BrokerEnd end(removeAtEnd);
  std::thread(watchTheShare, share, connection, std::ref(end)).detach();
  while (const auto request = brokerwire::receive(connection)) {
    Message answer;
    switch (static_cast<Request>(request->kind)) {
      case Request::open:
        answer = answerOpen(policy, request->fields);
        break;
      case Request::executables:
        answer = answerExecutables(request->fields);
        break;
      case Request::busOwner:
        answer = answerBusOwner(policy, request->fields);
        break;
      default:
        answer.kind = EOPNOTSUPP;
    }
    if (!sendAnswer(connection, answer)) break;
  }
  end.now();
}

// Closes every descriptor but `keep` (and the standard three).
void closeAllBut(std::array<int, 2> keep) {
  std::sort(keep.begin(), keep.end());
  unsigned from = 3;
  for (const int fd : keep) {
    if (fd < static_cast<int>(from)) continue;
    if (fd > static_cast<int>(from))
      ::syscall(SYS_close_range, from, static_cast<unsigned>(fd - 1), 0U);
    from = static_cast<unsigned>(fd) + 1;
  }
  ::syscall(SYS_close_range, from, ~0U, 0U);
}

// In the forked broker: a session of its own, the terminal's signals ignored, standard input
// from /dev/null, no descriptor of the process but the standard ones, the connection and the
// share's pidfd. Ends the process, never returns.
[[noreturn]] void becomeBroker(int connection, int share, LaunchTrust trust,
                               const std::optional<std::string>& removeAtEnd,
                               const sigset_t& signalMask) {
  try {
    ::setsid();
    for (const int signal : ignoredSignals) ::signal(signal, SIG_IGN);
    ::pthread_sigmask(SIG_SETMASK, &signalMask, nullptr);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull >= 0) {
      ::dup2(devNull, STDIN_FILENO);
      ::close(devNull);
    }
    closeAllBut({connection, share});
    serve(connection, share, LaunchPolicy(std::move(trust)), removeAtEnd);
  } catch (...) {
    ::_exit(1);
  }
}

// A request's answer; EPIPE when the broker has ended.
Message ask(int connection, const Message& request) {
  if (!brokerwire::send(connection, request)) {
    throw std::system_error(EPIPE, std::generic_category(), "the launch broker has ended");
  }
  auto answer = brokerwire::receive(connection);
  if (!answer) {
    throw std::system_error(EPIPE, std::generic_category(), "the launch broker has ended");
  }
  return std::move(*answer);
}

}  // namespace

LaunchBroker::LaunchBroker(LaunchTrust trust, const std::optional<std::string>& removeAtEnd) {
  std::array<int, 2> pair{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()) != 0) {
    posix::throwSystemError(errno, "socketpair");
  }
  // The broker watches this process through it; made here, since the broker's parent may have
  // ended (and another process taken its id) by the time the broker could look. None on a kernel
  // without pidfds: the connection alone tells.
  const posix::FileDescriptor self(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0U)));
  // Held off until the broker ignores them: one sent right after the fork must not end it.
  sigset_t terminalSignals;
  sigset_t previous;
  sigemptyset(&terminalSignals);
  for (const int signal : ignoredSignals) sigaddset(&terminalSignals, signal);
  ::pthread_sigmask(SIG_BLOCK, &terminalSignals, &previous);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pair[0]);
    becomeBroker(pair[1], self.get(), std::move(trust), removeAtEnd, previous);
  }
  const int forkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) {
    ::close(pair[0]);
    ::close(pair[1]);
    posix::throwSystemError(forkError, "fork");
  }
  ::close(pair[1]);
  connection_ = pair[0];
  broker_ = pid;
}

LaunchBroker::~LaunchBroker() {
  hangUp();
  ::close(connection_);
  while (::waitpid(broker_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void LaunchBroker::hangUp() noexcept { ::shutdown(connection_, SHUT_RDWR); }

std::vector<pid_t> LaunchBroker::open(const Url& application, const std::vector<Url>& files) {
  Message request{static_cast<std::uint32_t>(Request::open),
                  {application.isFileURL() ? application.path() : application.absoluteString()}};
  for (const auto& file : files) {
    // A URL that names no file goes as its text, which the broker refuses.
    request.fields.push_back(file.isFileURL() ? file.path() : file.absoluteString());
  }
  Message answer;
  {
    const std::lock_guard lock(requests_);
    answer = ask(connection_, request);
  }
  if (answer.kind != 0) {
    posix::throwSystemError(static_cast<int>(answer.kind), "open with", application.path());
  }
  std::vector<pid_t> started;
  for (const auto& field : answer.fields) {
    started.push_back(static_cast<pid_t>(number(field).value_or(0)));
  }
  return started;
}

std::optional<pid_t> LaunchBroker::busOwnerOf(const std::string& name) {
  Message answer;
  try {
    const std::lock_guard lock(requests_);
    answer = ask(connection_, {static_cast<std::uint32_t>(Request::busOwner), {name}});
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  if (answer.kind != 0 || answer.fields.size() != 1) return std::nullopt;
  const auto pid = number(answer.fields.front());
  if (!pid || *pid <= 0) return std::nullopt;
  return static_cast<pid_t>(*pid);
}

std::vector<std::optional<std::string>> LaunchBroker::executablesOf(
    const std::vector<pid_t>& pids) {
  std::vector<std::optional<std::string>> paths(pids.size());
  for (std::size_t first = 0; first < pids.size(); first += executablesPerRequest) {
    const std::size_t end = std::min(pids.size(), first + executablesPerRequest);
    Message request{static_cast<std::uint32_t>(Request::executables), {}};
    for (std::size_t i = first; i < end; ++i) request.fields.push_back(std::to_string(pids[i]));
    Message answer;
    try {
      const std::lock_guard lock(requests_);
      answer = ask(connection_, request);
    } catch (const std::system_error&) {
      return paths;
    }
    if (answer.kind != 0 || answer.fields.size() != end - first) return paths;
    for (std::size_t i = first; i < end; ++i) {
      if (!answer.fields[i - first].empty()) paths[i] = std::move(answer.fields[i - first]);
    }
  }
  return paths;
}

}  // namespace platform
