#include "platform/app/RunningApplication.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <string>

#include <dirent.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/app/Bundle.hpp"

namespace platform {
namespace {

int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool hasEnded(int pidfd) {
  if (pidfd < 0) return true;
  pollfd readable{pidfd, POLLIN, 0};
  return ::poll(&readable, 1, 0) > 0;
}

std::optional<std::string> readExecutableLink(pid_t pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  std::string target(4096, '\0');
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) == target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(length));
  return target;
}

struct ExecutableReaderSlot {
  std::mutex mutex;
  RunningApplication::ExecutableReader reader;
};

ExecutableReaderSlot& executableReaderSlot() {
  static ExecutableReaderSlot slot;
  return slot;
}

std::optional<std::string> executablePath(pid_t pid) {
  RunningApplication::ExecutableReader reader;
  {
    auto& slot = executableReaderSlot();
    const std::lock_guard lock(slot.mutex);
    reader = slot.reader;
  }
  auto target = reader ? reader(pid) : readExecutableLink(pid);
  if (!target) return std::nullopt;
  // A program replaced on disk while it runs is still that application.
  constexpr std::string_view deleted = " (deleted)";
  if (target->size() > deleted.size() && target->ends_with(deleted))
    target->resize(target->size() - deleted.size());
  return target;
}

std::vector<pid_t> processIds() {
  std::vector<pid_t> ids;
  DIR* proc = ::opendir("/proc");
  if (!proc) return ids;
  while (const dirent* entry = ::readdir(proc)) {  // NOLINT(concurrency-mt-unsafe): own stream
    pid_t pid = 0;
    const std::string_view name = entry->d_name;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error == std::errc() && end == name.data() + name.size() && pid > 0) ids.push_back(pid);
  }
  ::closedir(proc);
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The process with its bundle, read in this order so that the pidfd and the executable are
// surely the same process's: pidfd first, executable next, then the pidfd still live.
std::shared_ptr<RunningApplication> describe(
    pid_t pid, std::map<std::string, std::optional<std::string>>& identifiers) {
  const int pidfd = openPidfd(pid);
  if (pidfd < 0) return nullptr;
  const auto path = executablePath(pid);
  if (!path || hasEnded(pidfd)) {
    ::close(pidfd);
    return nullptr;
  }
  const Url executable = Url::fileURL(*path, false);
  const Bundle bundle = Bundle::containing(executable);
  const bool inBundle = !(bundle.bundleURL() == executable.deletingLastPathComponent());
  std::optional<Url> bundleURL;
  std::optional<std::string> identifier;
  if (inBundle) {
    bundleURL = bundle.bundleURL();
    const std::string key = bundle.bundleURL().path();
    auto known = identifiers.find(key);
    if (known == identifiers.end())
      known = identifiers.emplace(key, bundle.bundleIdentifier()).first;
    identifier = known->second;
  }
  return std::make_shared<RunningApplication>(pid, pidfd, executable, std::move(bundleURL),
                                              std::move(identifier));
}

}  // namespace

RunningApplication::RunningApplication(pid_t pid, int pidfd, std::optional<Url> executableURL,
                                       std::optional<Url> bundleURL,
                                       std::optional<std::string> bundleIdentifier)
    : pid_(pid),
      pidfd_(pidfd),
      executableURL_(std::move(executableURL)),
      bundleURL_(std::move(bundleURL)),
      bundleIdentifier_(std::move(bundleIdentifier)) {}

RunningApplication::~RunningApplication() {
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool RunningApplication::isTerminated() const { return hasEnded(pidfd_); }

RunningApplication::ExecutableReader RunningApplication::replaceExecutableReader(
    ExecutableReader reader) {
  auto& slot = executableReaderSlot();
  const std::lock_guard lock(slot.mutex);
  std::swap(slot.reader, reader);
  return reader;
}

std::vector<std::shared_ptr<RunningApplication>> RunningApplication::runningApplications(
    std::string_view bundleIdentifier) {
  std::vector<std::shared_ptr<RunningApplication>> found;
  std::map<std::string, std::optional<std::string>> identifiers;  // per bundle, read once
  for (const pid_t pid : processIds()) {
    auto application = describe(pid, identifiers);
    if (application && application->bundleIdentifier() == bundleIdentifier) {
      found.push_back(std::move(application));
    }
  }
  return found;
}

std::shared_ptr<RunningApplication> RunningApplication::withProcessIdentifier(pid_t pid) {
  std::map<std::string, std::optional<std::string>> identifiers;
  return describe(pid, identifiers);
}

}  // namespace platform
