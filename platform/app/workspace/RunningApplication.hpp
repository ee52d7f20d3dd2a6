#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "platform/Url.hpp"

namespace platform {

// A process running an application program. An application is known by its bundle: a process
// belongs to the bundle that holds its executable (/proc/<pid>/exe at X/Contents/MacOS/…); or by
// its name on the session bus, where it owns one. Holds a pidfd, so it keeps speaking of the same
// process even once its id is reused.
class RunningApplication {
 public:
  // The live processes of this user (the owner of /proc/<pid> is the real user id) whose
  // executable lies in a bundle whose Info.plist has the identifier `bundleIdentifier`, in
  // process-id order; then, where the identifier is a name on the session bus and another
  // process of this user owns it, that process, its bundle location `dbus:<identifier>` when its
  // program lies in no bundle of that identifier. A process that has already ended (a zombie
  // included) has no executable to read and is not listed; one that ends later reports
  // isTerminated().
  static std::vector<std::shared_ptr<RunningApplication>> runningApplications(
      std::string_view bundleIdentifier);

  // The process `pid`, with the bundle its executable lies in; none when no such process runs.
  static std::shared_ptr<RunningApplication> withProcessIdentifier(pid_t pid);

  RunningApplication(pid_t pid, int pidfd, std::optional<Url> executableURL,
                     std::optional<Url> bundleURL, std::optional<std::string> bundleIdentifier);
  ~RunningApplication();
  RunningApplication(const RunningApplication&) = delete;
  RunningApplication& operator=(const RunningApplication&) = delete;

  pid_t processIdentifier() const { return pid_; }
  const std::optional<Url>& executableURL() const { return executableURL_; }
  // The bundle folder (X in X/Contents/MacOS/…), or none when the program lies in no bundle.
  const std::optional<Url>& bundleURL() const { return bundleURL_; }
  const std::optional<std::string>& bundleIdentifier() const { return bundleIdentifier_; }

  // True once the process has ended, whether or not its parent has collected it yet (a zombie
  // is terminated). Asks the system each time.
  bool isTerminated() const;

  // Reads where processes' executables lie (the targets of /proc/<pid>/exe), one answer per
  // process id in order, none for one that cannot be read. A confined process cannot read that
  // of a process outside its confinement, so it puts in a reader that asks outside, all the
  // processes of a look-up at once; by default the process reads them itself.
  using ExecutableReader =
      std::function<std::vector<std::optional<std::string>>(const std::vector<pid_t>& pids)>;
  // Puts `reader` in place (an empty one puts back the default) and returns the one it replaces.
  static ExecutableReader replaceExecutableReader(ExecutableReader reader);

  // Tells which process owns a name on the session bus, none when nobody does. A confined
  // process may open no connection, so it puts in a reader that asks outside; by default the
  // process asks the bus itself (application_bus::ownerProcess()).
  using BusOwnerReader = std::function<std::optional<pid_t>(const std::string& name)>;
  // Puts `reader` in place (an empty one puts back the default) and returns the one it replaces.
  static BusOwnerReader replaceBusOwnerReader(BusOwnerReader reader);

 private:
  pid_t pid_;
  int pidfd_;
  std::optional<Url> executableURL_;
  std::optional<Url> bundleURL_;
  std::optional<std::string> bundleIdentifier_;
};

}  // namespace platform
