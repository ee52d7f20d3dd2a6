#pragma once

namespace platform {

// Installs a seccomp filter on every thread of the process, inherited by every thread and process
// started afterwards, that makes these system calls fail with EPERM:
//  - ioctl TIOCSTI, which pushes input into a terminal as if typed (into the user's shell, once
//    the process has left behind something that outlives it), and ioctl TIOCLINUX, which can
//    do the same through the console's selection;
//  - socket and socketpair: a confined process makes no new connections (a UNIX socket's path
//    is no file that Landlock's rules govern), so its display connection is made beforehand.
// Every other call is left alone; a call made in another architecture's convention (a 32-bit
// one on a 64-bit kernel) ends the process. Sets no_new_privs. Throws std::system_error when the
// filter cannot be installed.
void refuseTerminalInputAndNewSockets();

}  // namespace platform
