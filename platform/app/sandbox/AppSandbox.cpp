#include "platform/app/sandbox/AppSandbox.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileManager.hpp"
#include "platform/Url.hpp"
#include "platform/UserDatabase.hpp"
#include "platform/app/sandbox/Confinement.hpp"
#include "platform/app/sandbox/LaunchBroker.hpp"
#include "platform/app/sandbox/SystemCallFilter.hpp"
#include "platform/app/workspace/RunningApplication.hpp"
#include "platform/app/workspace/Workspace.hpp"
#include "platform/detail/Posix.hpp"

namespace platform {
namespace {

std::string_view trimmed(std::string_view relative) {
  while (relative.starts_with('/')) relative.remove_prefix(1);
  while (relative.ends_with('/')) relative.remove_suffix(1);
  return relative;
}

std::string entitledPath(const Url& home, std::string_view relative) {
  relative = trimmed(relative);
  if (relative.empty()) return home.path();
  return home.appendingPathComponent(relative, /*isDirectory=*/true).path();
}

// The entitled folder, opened beneath the home without following a link (the home itself is the
// user's to place); invalid when a component is a link, "..", or missing.
posix::FileDescriptor openEntitledFolder(const Url& home, std::string_view relative) {
  auto folder = posix::openAt(AT_FDCWD, home.path().c_str(), O_PATH | O_DIRECTORY);
  relative = trimmed(relative);
  if (!folder.valid() || relative.empty()) return folder;
  return posix::openBeneath(folder.get(), std::string(relative).c_str(), O_PATH | O_DIRECTORY);
}

// A temporary folder of the sandbox's own; none when $TMPDIR takes none.
std::optional<std::string> makeTemporaryFolder(std::string_view programName) {
  try {
    return posix::makeTemporaryFolder(std::string(programName) + ".");
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

// The terminal: /dev/tty, and the terminal devices that the standard descriptors name, so that
// they can be opened again (a sheet reads keys from the terminal).
std::vector<std::string> terminalDevices() {
  std::vector<std::string> devices{"/dev/tty"};
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    std::array<char, 256> name{};
    if (::isatty(fd) == 1 && ::ttyname_r(fd, name.data(), name.size()) == 0) {
      devices.emplace_back(name.data());
    }
  }
  return devices;
}

}  // namespace

std::unique_ptr<AppSandbox> AppSandbox::enter(const SandboxEntitlements& entitlements,
                                              std::string_view programName) {
  if (!entitlements.appSandbox) return nullptr;
  if (landlock::abiVersion() == 0) {
    std::fprintf(stderr, "%.*s: this kernel offers no Landlock: running unconfined\n",
                 static_cast<int>(programName.size()), programName.data());
    return nullptr;
  }

  WritablePlaces places;
  LaunchTrust trust{.applicationIdentifier = entitlements.handOffApplication};
  const Url home = userDatabase::homeFolderOfCurrentUser();
  std::vector<posix::FileDescriptor> entitled;
  for (const auto& relative : entitlements.homeRelativeReadWritePaths) {
    const auto path = entitledPath(home, relative);
    trust.shareFolders.push_back(path);
    trust.untrusted.push_back(path);
    if (auto folder = openEntitledFolder(home, relative); folder.valid()) {
      places.openFolders.push_back(folder.get());
      entitled.push_back(std::move(folder));
    }
  }
  const auto temporary = makeTemporaryFolder(programName);
  if (temporary) {
    places.folders.push_back(*temporary);
    trust.untrusted.push_back(*temporary);
  }
  places.files = terminalDevices();
  places.files.emplace_back("/dev/null");
  places.deviceFolders.emplace_back("/dev/dri");

  std::unique_ptr<AppSandbox> sandbox(new AppSandbox);
  // Forked before the confinement, so that it stays outside. From then on the broker removes the
  // temporary folder; until then, this does.
  try {
    sandbox->broker_ = std::make_shared<LaunchBroker>(std::move(trust), temporary);
  } catch (...) {
    if (temporary) ::rmdir(temporary->c_str());
    throw;
  }
  confineWrites(places);
  if (temporary) {
    // NOLINTBEGIN(concurrency-mt-unsafe): one thread yet
    ::setenv("TMPDIR", temporary->c_str(), 1);
    // Caches that libraries keep in the home (a toolkit's shaders, fonts) could not be written
    // there; they live as long as the sandbox instead.
    const std::string caches = *temporary + "/caches";
    if (::mkdir(caches.c_str(), 0700) == 0) ::setenv("XDG_CACHE_HOME", caches.c_str(), 1);
    // NOLINTEND(concurrency-mt-unsafe)
  }
  // Made after the confinement: the workspace starts a thread, which must be confined too.
  sandbox->replacedWorkspace_ =
      Workspace::replaceShared(std::make_shared<Workspace>(sandbox->broker_));
  // The confinement hides where other processes' programs lie: the broker reads it.
  sandbox->replacedReader_ = RunningApplication::replaceExecutableReader(
      [broker = sandbox->broker_](const std::vector<pid_t>& pids) {
        return broker->executablesOf(pids);
      });
  // Nor may it reach the session bus: the broker tells who owns KelpWord's name there.
  sandbox->replacedOwnerReader_ = RunningApplication::replaceBusOwnerReader(
      [broker = sandbox->broker_](const std::string& name) { return broker->busOwnerOf(name); });
  return sandbox;
}

void AppSandbox::refuseNewConnections() {
  refuseConnectionsOutside();
  refuseEscapes();
}

AppSandbox::~AppSandbox() {
  // First, so that a hand-off still under way (an application that does not answer) fails at
  // once rather than keep the workspace, which waits for it, from going.
  if (broker_) broker_->hangUp();
  if (replacedWorkspace_) Workspace::replaceShared(std::move(*replacedWorkspace_));
  if (replacedReader_) RunningApplication::replaceExecutableReader(std::move(*replacedReader_));
  if (replacedOwnerReader_) {
    RunningApplication::replaceBusOwnerReader(std::move(*replacedOwnerReader_));
  }
  broker_.reset();
}

}  // namespace platform
