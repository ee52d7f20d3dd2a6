#pragma once

#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace platform {

// Starts application programs for the workspace. It is the workspace's only way of starting
// one, so that a process that confines itself can hand the job to an unconfined helper: a
// confinement step installs its own launcher with Workspace::replaceShared().
class ProgramLauncher {
 public:
  virtual ~ProgramLauncher() = default;

  // Starts `argv[0]` (a path, or a name looked up in $PATH) with the arguments `argv`, and
  // returns its process id once the program runs. Blocks until the program has been executed or
  // has failed to be. Throws std::system_error with the errno of finding or executing the
  // program (ENOENT, EACCES, ENOEXEC, …).
  virtual pid_t start(const std::vector<std::string>& argv) = 0;

  // Starts programs from this process, as desktop launchers do: detached (the program is not
  // this process's child and has a session of its own), standard input from /dev/null, standard
  // output and error inherited, no other descriptor inherited. An exec failure is read from a
  // close-on-exec pipe, never guessed.
  static std::shared_ptr<ProgramLauncher> direct();
};

}  // namespace platform
