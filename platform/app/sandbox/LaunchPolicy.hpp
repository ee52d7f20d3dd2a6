#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/Url.hpp"
#include "platform/app/workspace/CommandLineRoom.hpp"
#include "platform/app/workspace/DesktopEntry.hpp"
#include "platform/detail/Posix.hpp"

namespace platform {

// What the launch broker trusts, fixed when it is made: the confined side cannot change it.
struct LaunchTrust {
  // The bundle identifier of the one application the broker starts.
  std::string applicationIdentifier;
  // Where that application's desktop entry is looked for, as the workspace looks.
  std::vector<Url> applicationFolders = platform::applicationFolders();
  // Folders that hold per-share folders: every file handed over lies in a folder directly beneath
  // one of them.
  std::vector<std::string> shareFolders;
  // Folders where the confined side writes: nothing beneath them is trusted.
  std::vector<std::string> untrusted;
  // The sharing user: beside root, the only one who may control what the broker starts.
  uid_t user = ::getuid();
};

// An application start the policy has verified: the program, open (so the file that was checked
// is the file that runs), and the command lines to start it with, one program each, in order
// (startInTurn() starts them).
struct VerifiedLaunch {
  posix::FileDescriptor program;
  std::vector<FileCommandLine> commandLines;
  // The desktop entry says DBusActivatable=true: the files go to the application over the
  // session bus, which starts it when it does not run.
  bool dbusActivatable = false;
};

// The launch broker's trust policy: whether it opens files with an application for the confined
// side, and with which program and command lines. It takes nothing from the confined side but
// the application's location (as the share found it) and the files' paths, and builds the
// command lines itself, as ProgramLauncher::direct() would: as many as the files need to fit in
// exec's room, each with the same program and words around the files.
//
// The application must be
//  - a bundle whose Contents/Info.plist has the trusted identifier, its program
//    Contents/MacOS/<CFBundleExecutable>; or
//  - the desktop entry <identifier>.desktop that the workspace finds first in the application
//    folders, not Hidden, its Exec line making the command lines.
// Each is resolved once: the location's real folder is opened, every later component is opened
// from the one above without following links, the property list and the entry are read from
// what was opened, and the program is kept open to be executed; nothing of it may lie beneath an
// untrusted folder (known by device and inode, walking up from the open folder, so neither links
// nor renames mislead). Nor may another user be able to change what runs: the program, the
// property list or desktop entry, and every folder from the root down to them must be owned by
// root or the sharing user and writable by no one else (a group- or world-writable folder only
// when it is sticky, as /tmp is). A program that a desktop entry names without a "/" is found as
// findProgram() finds it, once.
//
// Every file must be an absolute path without "." or ".." components, lying directly in a
// per-share folder: <share folder>/<folder>/<name>.
class LaunchPolicy {
 public:
  explicit LaunchPolicy(LaunchTrust trust);

  // Whether every one of `files` is one the policy hands to the application: throws
  // std::system_error(EPERM) for the first that is not.
  void verifyFiles(const std::vector<std::string>& files) const;

  // The verified start that opens `files` with `application`, its command lines each fitted
  // into `room` (see fitCommandLine()). Throws std::system_error: EPERM when the application or a
  // file is not one the policy accepts, the errno of reading the application (ENOENT, EACCES, …)
  // otherwise.
  VerifiedLaunch verify(const std::string& application, const std::vector<std::string>& files,
                        std::size_t room = argumentRoom()) const;

  const LaunchTrust& trust() const { return trust_; }

 private:
  LaunchTrust trust_;
};

}  // namespace platform
