#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "platform/Url.hpp"
#include "platform/app/sandbox/LaunchPolicy.hpp"
#include "platform/app/workspace/ProgramLauncher.hpp"

namespace platform {

// Opens files with an application on behalf of a process that confines itself. A confinement is
// inherited by every process started under it, and the application that a share hands its files
// to must not be confined; so before confining itself, the process forks this broker, which stays
// unconfined, and its workspace opens files through it.
//
// Trust boundary: the confined side only names the application (as it found it) and the files;
// the broker decides on its own by its LaunchPolicy, fixed at the fork, whether to start
// anything, builds the command lines itself and executes exactly the program file it checked. It
// also tells where processes' executables lie, which the confinement hides for processes outside
// it (and which finds a running application); for that it reads and writes nothing else. The
// broker takes its environment from the moment it was forked: the confined side cannot change it.
//
// The broker sits in a session of its own and ignores SIGINT, SIGHUP and SIGTERM: the terminal's
// signals and one sent to the share's process group leave it running until the process that
// made it ends, however it ends (watched through a pidfd, so that a child of the confined side
// that holds the connection does not keep it), or hangs up (hangUp(), or this object goes),
// even while it waits for an application. Then it removes the folder it was given to remove,
// which the confined side cannot (the folder above is out of its bounds), and exits.
//
// It answers only for what the sharing user controls: the policy's programs, and the
// executables of the user's own processes.
class LaunchBroker final : public ProgramLauncher {
 public:
  // Forks the broker. Call it while the process has no other thread: the broker is a copy of the
  // process that keeps running its code. `removeAtEnd`: a folder for the broker to remove with
  // its contents when it ends. Throws std::system_error when the broker cannot be made.
  LaunchBroker(LaunchTrust trust, const std::optional<std::string>& removeAtEnd);
  // Hangs up and waits for the broker to end.
  ~LaunchBroker() override;
  LaunchBroker(const LaunchBroker&) = delete;
  LaunchBroker& operator=(const LaunchBroker&) = delete;

  // Has the broker open `files` with `application` (see ProgramLauncher::open()) if its policy
  // accepts both: over the session bus, to the trusted identifier's name, where the application
  // is D-Bus activatable or owns that name (the confined side may open no socket), else by
  // starting the program it verified. Throws std::system_error with the broker's answer (EPERM for
  // what the policy refuses, the errno of reading the application or executing its program
  // otherwise), or EPIPE when the broker has ended.
  std::vector<pid_t> open(const Url& application, const std::vector<Url>& files) override;

  // Where the executables of processes `pids` lie, as /proc/<pid>/exe says to the broker, one
  // answer per process in order: none for another user's process, for one that cannot be read,
  // and for all when the broker has ended. Suits RunningApplication::replaceExecutableReader: a few
  // round trips however many processes there are.
  std::vector<std::optional<std::string>> executablesOf(const std::vector<pid_t>& pids);

  // The process that owns `name` on the session bus, as the broker finds it: only for the trusted
  // application's name and a process of the sharing user; none otherwise, and when the broker has
  // ended. Suits RunningApplication::replaceBusOwnerReader.
  std::optional<pid_t> busOwnerOf(const std::string& name);

  // Ends the conversation at once: a request under way, and every later one, fails with EPIPE,
  // and the broker ends. Any thread.
  void hangUp() noexcept;

  pid_t processIdentifier() const { return broker_; }

 private:
  pid_t broker_ = -1;
  int connection_ = -1;
  std::mutex requests_;  // one request at a time on the connection
};

}  // namespace platform
