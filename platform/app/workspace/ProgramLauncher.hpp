#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "platform/Url.hpp"
#include "platform/app/workspace/CommandLineRoom.hpp"

namespace platform {

// Opens files with application programs for the workspace. It is the workspace's only way of
// starting one, so that a process that confines itself can hand the job to an unconfined helper,
// which decides on its own what it starts: a confinement step installs its own launcher with
// Workspace::replaceShared().
class ProgramLauncher {
 public:
  virtual ~ProgramLauncher() = default;

  // Opens `files` with the application at `application`. Where the application is D-Bus
  // activatable (its desktop entry says so) or runs and owns its name on the session bus, in one
  // org.freedesktop.Application.Open call (see application_bus), starting no program itself.
  // Otherwise an application bundle's program (Contents/MacOS/<CFBundleExecutable>) is started
  // with the files' paths as arguments (a URL that names no file by its text), or a desktop
  // entry's (a `.desktop` file) by its Exec line, perhaps once per file; where the files do not
  // fit in one command line, the program is started again with the rest, in order, as many at a
  // time as fit (see commandLinesFor() and startInTurn()). Returns the started programs' process
  // ids in order (none after a call over the bus), once each runs; blocks until then. Throws
  // std::system_error at the first program that could not be started: ENOENT when the location
  // holds no application, the errno of finding or executing the program otherwise (ENOENT,
  // EACCES, ENOEXEC, E2BIG for a file too long for a command line of its own, …), EPERM from a
  // launcher that refuses the application or the files; or when the call over the bus failed
  // (application_bus::open()). Programs started before it keep running.
  virtual std::vector<pid_t> open(const Url& application, const std::vector<Url>& files) = 0;

  // Opens files from this process with the command lines of commandLinesFor().
  static std::shared_ptr<ProgramLauncher> direct();
};

// The command lines that open `files` with `application` (see ProgramLauncher::open()), one per
// program to start, each fitted into `room` (see fitCommandLine()). Throws std::system_error:
// ENOENT when `application` is no application, EINVAL for a desktop entry without a usable Exec
// line.
std::vector<FileCommandLine> commandLinesFor(const Url& application, const std::vector<Url>& files,
                                             std::size_t room = argumentRoom());

// Starts `argv[0]` (found by findProgram()) with the arguments `argv` as desktop launchers do,
// with posix_spawn(): a session of its own, every signal at its default and none blocked,
// standard input from /dev/null, standard output and error inherited, no other descriptor
// inherited. The program is this process's child until it ends, when a thread of this process
// reaps it: it leaves no zombie. Returns its process id once the program runs; an exec failure
// is the errno that exec itself gave. Throws std::system_error with the errno of finding or
// executing the program (ENOENT, EACCES, ENOEXEC, …).
pid_t startProgram(const std::vector<std::string>& argv);

// Starts exactly the file open at descriptor `program` (O_PATH is enough) as startProgram()
// does, whatever its path names by then: nothing is looked up again. `argv[0]` is only what the
// program is told its name is. A script is handed to its interpreter as /dev/fd/3, its one
// descriptor beyond the standard ones.
pid_t startProgramFile(int program, const std::vector<std::string>& argv);

}  // namespace platform
