#pragma once

#include <string>
#include <vector>

namespace platform {

// The places where a confined process may still write. A place that does not exist, or cannot
// be opened, is left out: nothing there is allowed.
struct WritablePlaces {
  // Folders beneath which anything may be written, made, renamed, linked and removed. The folder
  // itself cannot be removed or renamed: that is a change to the folder above it.
  std::vector<std::string> folders;
  // Such folders, already open (O_PATH is enough): the rule is for the folder the caller opened,
  // whatever its path names by now. The caller keeps them and closes them.
  std::vector<int> openFolders;
  // Files that may be opened for writing, truncated and driven by device ioctls: devices such as
  // /dev/null and the terminal.
  std::vector<std::string> files;
  // Folders of devices (the GPU's /dev/dri) whose devices may be opened for writing and driven
  // by ioctls; nothing may be made or removed in them.
  std::vector<std::string> deviceFolders;
};

namespace landlock {

// The highest Landlock ABI version that the kernel offers; 0 when it offers none (not built in,
// disabled at boot, or the call refused, as some seccomp filters do).
int abiVersion();

}  // namespace landlock

// Confines the calling process with Landlock, for good: reading and executing stay allowed
// everywhere; writing, making, renaming, linking and removing files and folders, truncating
// (ABI 3 on) and device ioctls (ABI 5 on) are allowed only in `places`. Every process started
// afterwards inherits the confinement. Each right that the kernel's ABI knows is handled; one it
// does not know stays unrestricted (under ABI 1 a file can still be truncated by path, and
// renaming or linking across folders always fails with EXDEV). From ABI 6 on the process also
// cannot signal a process outside its confinement. Sockets are not restricted: see
// refuseConnectionsOutside(). Sets no_new_privs, which Landlock requires.
//
// Landlock confines the calling thread and what it starts from then on, never a thread that
// runs already: call it before the process starts any thread of its own.
//
// Returns the ABI version used. Throws std::system_error: ENOSYS or EOPNOTSUPP when the kernel
// has no Landlock; any other errno when confinement failed, the process then unconfined.
int confineWrites(const WritablePlaces& places);

// Confines the calling thread, and what it starts from then on, further: from Landlock ABI 4 on
// it can neither bind nor connect a TCP socket, whatever socket it holds (a display's
// connection may be TCP, so this comes after it is made); from ABI 6 on it cannot connect to an
// abstract UNIX socket made outside its confinement (a display's server listens on one, and an X
// client gives up once that connection is refused rather than try the server's file socket).
// Returns whether the kernel had anything of it to apply (ABI 4 or later). Throws
// std::system_error when it failed.
bool refuseConnectionsOutside();

}  // namespace platform
