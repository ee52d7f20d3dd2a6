#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "platform/Url.hpp"
#include "platform/app/workspace/DesktopEntry.hpp"
#include "platform/app/workspace/ProgramLauncher.hpp"

namespace platform {

// Starts application programs on behalf of a process that confines itself. A confinement is
// inherited by every process started under it, and the application that a share hands its files
// to must not be confined; so before confining itself, the process forks this broker, which stays
// unconfined, and its workspace starts programs through it.
//
// Trust boundary: the broker does the confined side's bidding only as far as the workspace
// itself would. It takes two kinds of request. One is a command line (a program and its
// arguments), answered with the started program's process id or the errno that kept it from
// starting. The other asks where a process's executable lies, which the confinement hides for
// processes outside it (and which finds a running application); the broker reads it and writes
// nothing. It refuses (EPERM) every command line that is not one the workspace makes for opening
// files:
//  - an application bundle's program (B/Contents/MacOS/<the CFBundleExecutable of
//    B/Contents/Info.plist>) whose every argument is an absolute path or a URL, never an option;
//  - or exactly a command line that a desktop entry in the application folders makes for such
//    files (so its Exec line fixes every other argument);
// and, either way, one whose program, bundle or desktop entry lies in a folder where the confined
// side may write (compared by device and inode along the real path, so links and bind mounts do
// not hide one). The program is executed by its real path, which the confined side cannot
// change. The broker takes its environment and its application folders from the moment it was
// forked: the confined side cannot change them.
//
// The broker ends when this object goes (or the process that made it ends): it removes the
// folder it was given to remove, which the confined side cannot (the folder above is out of its
// bounds), and exits.
class LaunchBroker final : public ProgramLauncher {
 public:
  // Forks the broker. Call it while the process has no other thread: the broker is a copy of the
  // process that keeps running its code. `untrusted`: the folders where the confined side may
  // write. `removeAtEnd`: a folder for the broker to remove with its contents when it ends.
  // Throws std::system_error when the broker cannot be made.
  LaunchBroker(const std::vector<std::string>& untrusted,
               const std::optional<std::string>& removeAtEnd,
               const std::vector<Url>& applicationFolders = platform::applicationFolders());
  // Closes the connection and waits for the broker to end.
  ~LaunchBroker() override;
  LaunchBroker(const LaunchBroker&) = delete;
  LaunchBroker& operator=(const LaunchBroker&) = delete;

  // Has the broker start `argv` as ProgramLauncher::direct() would. Throws std::system_error
  // with the broker's answer (EPERM for a command line it refuses, the errno of finding or
  // executing the program otherwise), or EPIPE when the broker has ended.
  pid_t start(const std::vector<std::string>& argv) override;

  // Where the executables of processes `pids` lie, as /proc/<pid>/exe says to the broker, one
  // answer per process in order: none for one that cannot be read, and for all when the broker
  // has ended. In one request, however many: suits RunningApplication::replaceExecutableReader.
  std::vector<std::optional<std::string>> executablesOf(const std::vector<pid_t>& pids);

  pid_t processIdentifier() const { return broker_; }

 private:
  pid_t broker_ = -1;
  int connection_ = -1;
  std::mutex requests_;  // one request at a time on the connection
};

}  // namespace platform
