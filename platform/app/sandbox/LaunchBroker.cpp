#include "platform/app/sandbox/LaunchBroker.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/socket.h>
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

Message answerOpen(const LaunchPolicy& policy, const std::vector<std::string>& fields) {
  if (fields.empty()) return {EINVAL, {}};
  Message answer;
  try {
    const std::vector<std::string> files(fields.begin() + 1, fields.end());
    const auto launch = policy.verify(fields.front(), files);
    // The trusted application takes the files over the session bus where it is D-Bus activatable
    // or runs and owns its name: the broker makes the call, since the confined side may open no
    // socket. Its name is the trusted identifier, never one the confined side gives.
    std::vector<Url> urls;
    urls.reserve(files.size());
    for (const auto& file : files) urls.push_back(Url::fileURL(file, /*isDirectory=*/false));
    if (application_bus::openThrough(policy.trust().applicationIdentifier, launch.dbusActivatable,
                                     urls)) {
      return answer;
    }
    for (const auto& argv : launch.commandLines) {
      answer.fields.push_back(std::to_string(startProgramFile(launch.program.get(), argv)));
    }
  } catch (const std::system_error& failure) {
    return {static_cast<std::uint32_t>(errnoOf(failure)), {}};
  } catch (...) {
    return {EIO, {}};
  }
  return answer;
}

Message answerExecutables(const std::vector<std::string>& fields) {
  Message answer;
  for (const auto& field : fields) {
    const auto pid = number(field);
    std::optional<std::string> target;
    if (pid && *pid > 0) {
      const std::string link = "/proc/" + std::to_string(*pid) + "/exe";
      target = posix::readLinkAt(AT_FDCWD, link.c_str());
    }
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

[[noreturn]] void serve(int connection, const LaunchPolicy& policy,
                        const std::optional<std::string>& removeAtEnd) {
  while (const auto request = brokerwire::receive(connection)) {
    Message answer;
    switch (static_cast<Request>(request->kind)) {
      case Request::open:
        answer = answerOpen(policy, request->fields);
        break;
      case Request::executables:
        answer = answerExecutables(request->fields);
        break;
      default:
        answer.kind = EOPNOTSUPP;
    }
    if (!sendAnswer(connection, answer)) break;
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

// In the forked broker: a session of its own, the terminal's signals ignored, standard input
// from /dev/null, no descriptor of the process but the standard ones and the connection. Ends
// the process, never returns.
[[noreturn]] void becomeBroker(int connection, LaunchTrust trust,
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
    if (connection > 3) ::syscall(SYS_close_range, 3U, static_cast<unsigned>(connection - 1), 0U);
    ::syscall(SYS_close_range, static_cast<unsigned>(connection + 1), ~0U, 0U);
    serve(connection, LaunchPolicy(std::move(trust)), removeAtEnd);
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
  // Held off until the broker ignores them: one sent right after the fork must not end it.
  sigset_t terminalSignals;
  sigset_t previous;
  sigemptyset(&terminalSignals);
  for (const int signal : ignoredSignals) sigaddset(&terminalSignals, signal);
  ::pthread_sigmask(SIG_BLOCK, &terminalSignals, &previous);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pair[0]);
    becomeBroker(pair[1], std::move(trust), removeAtEnd, previous);
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
  ::close(connection_);
  while (::waitpid(broker_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

std::vector<pid_t> LaunchBroker::open(const Url& application, const std::vector<Url>& files) {
  Message request{static_cast<std::uint32_t>(Request::open), {application.path()}};
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
