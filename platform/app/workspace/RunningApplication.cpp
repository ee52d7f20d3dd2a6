#include "platform/app/workspace/RunningApplication.hpp"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/app/workspace/ApplicationBus.hpp"
#include "platform/app/workspace/Bundle.hpp"
#include "platform/detail/Posix.hpp"

namespace platform {
namespace {

using posix::FileDescriptor;

FileDescriptor openPidfd(pid_t pid) {
  return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

bool hasEnded(int pidfd) {
  if (pidfd < 0) return true;
  pollfd readable{pidfd, POLLIN, 0};
  return ::poll(&readable, 1, 0) > 0;
}

// Whose process it is: the owner of /proc/<pid>, its effective user.
bool belongsToThisUser(pid_t pid) {
  struct stat info {};
  const std::string folder = "/proc/" + std::to_string(pid);
  return ::stat(folder.c_str(), &info) == 0 && info.st_uid == ::getuid();
}

std::optional<std::string> readExecutableLink(pid_t pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  auto target = posix::readLinkAt(AT_FDCWD, link.c_str());
  if (target && target->empty()) return std::nullopt;
  return target;
}

// A function that a confinement step puts in place of the default, read and replaced from any
// thread. An empty one stands for the default.
template <class Function>
class Replaceable {
 public:
  Function get() const {
    const std::lock_guard lock(mutex_);
    return function_;
  }
  Function replace(Function function) {
    const std::lock_guard lock(mutex_);
    std::swap(function_, function);
    return function;
  }

 private:
  mutable std::mutex mutex_;
  Function function_;
};

Replaceable<RunningApplication::ExecutableReader>& executableReader() {
  static Replaceable<RunningApplication::ExecutableReader> reader;
  return reader;
}

Replaceable<RunningApplication::BusOwnerReader>& busOwnerReader() {
  static Replaceable<RunningApplication::BusOwnerReader> reader;
  return reader;
}

// The executables of `pids`, in order, by the reader in place.
std::vector<std::optional<std::string>> executablePaths(const std::vector<pid_t>& pids) {
  const auto reader = executableReader().get();
  std::vector<std::optional<std::string>> targets;
  if (reader) {
    targets = reader(pids);
    targets.resize(pids.size());
  } else {
    targets.reserve(pids.size());
    for (const pid_t pid : pids) targets.push_back(readExecutableLink(pid));
  }
  // A program replaced on disk while it runs is still that application.
  constexpr std::string_view deleted = " (deleted)";
  for (auto& target : targets) {
    if (target && target->size() > deleted.size() && target->ends_with(deleted)) {
      target->resize(target->size() - deleted.size());
    }
  }
  return targets;
}

// The process that owns `name` on the session bus, by the reader in place.
std::optional<pid_t> busOwner(const std::string& name) {
  const auto reader = busOwnerReader().get();
  return reader ? reader(name) : application_bus::ownerProcess(name);
}

std::vector<pid_t> processIds() {
  std::vector<pid_t> ids;
  const FileDescriptor proc = posix::openAt(AT_FDCWD, "/proc", O_RDONLY | O_DIRECTORY);
  if (!proc.valid()) return ids;
  try {
    posix::DirectoryReader listing(proc.get(), "list", "/proc");
    while (const dirent* entry = listing.next()) {
      pid_t pid = 0;
      const std::string_view name = entry->d_name;
      const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
      if (error == std::errc() && end == name.data() + name.size() && pid > 0) ids.push_back(pid);
    }
  } catch (const std::system_error&) {
    // The processes listed so far are all there is to go by.
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The bundle holding the program at `path` (in X/Contents/MacOS/…), with the identifier its
// Info.plist gives, read once per bundle into `identifiers`; none for a program in no bundle.
struct BundleOfProgram {
  Url url;
  std::optional<std::string> identifier;
};

std::optional<BundleOfProgram> bundleOfProgram(
    const std::string& path, std::map<std::string, std::optional<std::string>>& identifiers) {
  const Url executable = Url::fileURL(path, false);
  const Bundle bundle = Bundle::containing(executable);
  if (bundle.bundleURL() == executable.deletingLastPathComponent()) return std::nullopt;
  const std::string key = bundle.bundleURL().path();
  auto known = identifiers.find(key);
  if (known == identifiers.end()) known = identifiers.emplace(key, bundle.bundleIdentifier()).first;
  return BundleOfProgram{bundle.bundleURL(), known->second};
}

// The process with its bundle, given its pidfd and its executable read after the pidfd was
// opened; none when the process has ended since, so that both are surely the same process's.
std::shared_ptr<RunningApplication> describe(
    pid_t pid, FileDescriptor pidfd, const std::optional<std::string>& path,
    std::map<std::string, std::optional<std::string>>& identifiers) {
  if (!path || hasEnded(pidfd.get())) return nullptr;
  auto bundle = bundleOfProgram(*path, identifiers);
  std::optional<Url> bundleURL;
  std::optional<std::string> identifier;
  if (bundle) {
    bundleURL = std::move(bundle->url);
    identifier = std::move(bundle->identifier);
  }
  return std::make_shared<RunningApplication>(pid, pidfd.release(), Url::fileURL(*path, false),
                                              std::move(bundleURL), std::move(identifier));
}

enum class Owner { anyone, thisUser };

// The live processes among `pids` that `keep` accepts, in order, read in batches: pidfds first
// (and the owner, read once the pidfd holds the process), then the batch's executables, then
// each pidfd checked still live. Batches, and letting go of the processes not kept at once, keep
// the open pidfds few. `identifiers`: the bundles' identifiers known so far.
std::vector<std::shared_ptr<RunningApplication>> describeAll(
    const std::vector<pid_t>& pids, Owner owner,
    const std::function<bool(const RunningApplication&)>& keep,
    std::map<std::string, std::optional<std::string>> identifiers = {}) {
  constexpr std::size_t batchSize = 256;
  std::vector<std::shared_ptr<RunningApplication>> described;
  for (std::size_t first = 0; first < pids.size(); first += batchSize) {
    std::vector<pid_t> batch;
    std::vector<FileDescriptor> pidfds;
    for (std::size_t i = first; i < std::min(pids.size(), first + batchSize); ++i) {
      FileDescriptor pidfd = openPidfd(pids[i]);
      if (!pidfd.valid()) continue;
      if (owner == Owner::thisUser && !belongsToThisUser(pids[i])) continue;
      batch.push_back(pids[i]);
      pidfds.push_back(std::move(pidfd));
    }
    const auto paths = executablePaths(batch);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      auto application = describe(batch[i], std::move(pidfds[i]), paths[i], identifiers);
      if (application && keep(*application)) described.push_back(std::move(application));
    }
  }
  return described;
}

// The owner of `identifier` as a name on the session bus, where it is not among `found` already
// and is this user's: an application that runs outside any bundle, known by its name. Its
// location is its bundle where it has one, else `dbus:<name>`, which the workspace opens through
// the bus.
std::shared_ptr<RunningApplication> owningTheBusName(
    std::string_view identifier, const std::vector<std::shared_ptr<RunningApplication>>& found) {
  const std::string name(identifier);
  if (!application_bus::isWellKnownName(name)) return nullptr;
  const auto owner = busOwner(name);
  if (!owner || std::any_of(found.begin(), found.end(), [&](const auto& application) {
        return application->processIdentifier() == *owner;
      })) {
    return nullptr;
  }
  // One pidfd for all that is read of the process, and then kept: a second one, opened by its
  // number, could hold another process that took the number meanwhile.
  FileDescriptor pidfd = openPidfd(*owner);
  if (!pidfd.valid() || !belongsToThisUser(*owner)) return nullptr;
  const auto path = executablePaths({*owner}).front();
  if (!path || hasEnded(pidfd.get())) return nullptr;
  std::map<std::string, std::optional<std::string>> identifiers;
  const auto bundle = bundleOfProgram(*path, identifiers);
  const bool inItsBundle = bundle && bundle->identifier == identifier;
  return std::make_shared<RunningApplication>(
      *owner, pidfd.release(), Url::fileURL(*path, false),
      inItsBundle ? bundle->url : application_bus::busLocation(name), name);
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

RunningApplication::BusOwnerReader RunningApplication::replaceBusOwnerReader(
    BusOwnerReader reader) {
  return busOwnerReader().replace(std::move(reader));
}

RunningApplication::ExecutableReader RunningApplication::replaceExecutableReader(
    ExecutableReader reader) {
  return executableReader().replace(std::move(reader));
}

std::vector<std::shared_ptr<RunningApplication>> RunningApplication::runningApplications(
    std::string_view bundleIdentifier) {
  // First by where the programs lie, which holds no process: only the few whose bundle has the
  // identifier are then held by a pidfd and read again, as every process would otherwise be.
  const std::vector<pid_t> all = processIds();
  const auto paths = executablePaths(all);
  std::map<std::string, std::optional<std::string>> identifiers;
  std::vector<pid_t> candidates;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (!paths[i]) continue;
    const auto bundle = bundleOfProgram(*paths[i], identifiers);
    if (bundle && bundle->identifier == bundleIdentifier) candidates.push_back(all[i]);
  }
  // Another user's program is not this user's application, whatever bundle it lies in: it could
  // have been replaced after it started, and it would be handed this user's files.
  const auto hasTheIdentifier = [&](const RunningApplication& application) {
    return application.bundleIdentifier() == bundleIdentifier;
  };
  auto running = describeAll(candidates, Owner::thisUser, hasTheIdentifier, std::move(identifiers));
  if (auto owner = owningTheBusName(bundleIdentifier, running)) running.push_back(std::move(owner));
  return running;
}

std::shared_ptr<RunningApplication> RunningApplication::withProcessIdentifier(pid_t pid) {
  auto described =
      describeAll({pid}, Owner::anyone, [](const RunningApplication&) { return true; });
  return described.empty() ? nullptr : described.front();
}

}  // namespace platform
