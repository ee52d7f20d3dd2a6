#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/app/workspace/RunningApplication.hpp"

namespace platform {

class LaunchBroker;
class Workspace;

// What an extension's entitlements grant it, as it declares them.
struct SandboxEntitlements {
  // The extension runs in the application sandbox.
  bool appSandbox = false;
  // Paths relative to the user's real home folder ("/Library/…/") that it may read and write,
  // everything beneath them included. A path that leads through a symbolic link below the home
  // grants nothing: the grant never reaches further than the folders the path names.
  std::vector<std::string> homeRelativeReadWritePaths;
  // The bundle identifier of the application the extension hands its files to, which the
  // sandbox's launch broker starts for it (see LaunchPolicy): files lying in a folder made
  // directly beneath a read-write path. Empty: it starts nothing.
  std::string handOffApplication;
};

// The application sandbox of an extension's process, entered by the extension runtime once per
// process, before it reads any shared item, while the process has no other thread. Inside, the
// process reads everywhere and writes only beneath its entitled paths and its own temporary
// folder, and the programs it has the workspace start run outside the sandbox.
class AppSandbox {
 public:
  // Without `entitlements.appSandbox`, does nothing and returns none. Otherwise:
  //  1. makes a temporary folder of the sandbox's own beneath $TMPDIR (/tmp when unset);
  //  2. starts a LaunchBroker, which stays outside and opens files only with
  //     `handOffApplication`;
  //  3. confines the process with Landlock (confineWrites()): writing only beneath each entitled
  //     path under the real home (the user database's home of the real user, else $HOME) that
  //     exists now, opened from the home one folder at a time without following links, and
  //     beneath the temporary folder; opening for writing /dev/null, the terminal (/dev/tty and
  //     the terminals on descriptors 0 to 2) and the GPU's devices (/dev/dri), which a window's
  //     toolkit uses; no signals to processes outside, where the kernel scopes them;
  //  4. points $TMPDIR at the temporary folder, and $XDG_CACHE_HOME at a folder in it: the
  //     sandbox's temporary files and the caches of the libraries it uses go there;
  //  5. has the shared workspace start programs through the broker, and running applications
  //     found through it (the confinement hides other processes' executables, and the session
  //     bus, which tells who owns the application's name, is out of reach).
  // Where the kernel has no Landlock it prints once on standard error that `programName` runs
  // unconfined, changes nothing, and returns none. Throws std::system_error when the kernel has
  // Landlock but the process could not be confined.
  //
  // Connections the process needs (a window's display) are made next, confined already; then
  // refuseNewConnections() closes the sandbox.
  static std::unique_ptr<AppSandbox> enter(const SandboxEntitlements& entitlements,
                                           std::string_view programName);

  // From now on: no TCP bind or connect and no connection to an abstract socket made outside the
  // sandbox, where the kernel's Landlock has them (refuseConnectionsOutside(), on the calling
  // thread), and, on every thread, none of the kinds of call that reach beyond the sandbox: new
  // sockets and connections, io_uring, namespaces, other processes' memory, mounts, keyrings,
  // input pushed into a terminal (refuseEscapes()). Throws std::system_error when either cannot
  // be put in place.
  void refuseNewConnections();

  // Puts back the workspace it replaced and lets the broker go, which removes the temporary
  // folder with what is left in it (the sandboxed process may not remove the folder itself) and
  // ends. The process stays confined.
  ~AppSandbox();
  AppSandbox(const AppSandbox&) = delete;
  AppSandbox& operator=(const AppSandbox&) = delete;

 private:
  AppSandbox() = default;

  std::shared_ptr<LaunchBroker> broker_;
  std::optional<std::shared_ptr<Workspace>> replacedWorkspace_;  // set once replaced
  std::optional<RunningApplication::ExecutableReader> replacedReader_;
  std::optional<RunningApplication::BusOwnerReader> replacedOwnerReader_;
};

}  // namespace platform
