#pragma once

namespace platform {

// Installs a seccomp filter on every thread of the process, inherited by every thread and process
// started afterwards, that refuses whole kinds of system calls by which a confined process could
// reach beyond its confinement, rather than the few calls of each kind one thinks of:
//  - new connections: socket, socketpair, connect, bind, listen, accept, accept4 (a UNIX socket's
//    path is no file that Landlock governs, and the session bus starts programs), so a process's
//    connections are made beforehand;
//  - io_uring, whose rings make sockets and open files without these calls;
//  - namespaces: unshare, setns, and clone with any CLONE_NEW* flag; clone3, whose flags lie in
//    memory a filter cannot read, fails with ENOSYS, so that the C library falls back to clone;
//  - other processes' memory and the kernel's own tools: ptrace, process_vm_readv and _writev,
//    kcmp, pidfd_getfd, userfaultfd, perf_event_open, bpf;
//  - keyrings: keyctl, add_key, request_key;
//  - mounts: mount, umount2, pivot_root, chroot and the new mount API (open_tree, move_mount,
//    fsopen, fsconfig, fsmount, fspick, mount_setattr; ENOSYS, as for clone3);
//  - the machine's own controls, which root could otherwise use: kernel modules, kexec, reboot,
//    swap, the kernel log, accounting, quotas, raw I/O ports, file handles (open_by_handle_at
//    reads any file of a file system), host and domain names;
//  - personality, but for the values the C library and ordinary programs use (Linux, 32-bit
//    Linux, 26-style version numbers, and the query 0xffffffff);
//  - ioctl TIOCSTI, which pushes input into a terminal as if typed, and TIOCLINUX, which can do
//    the same through the console's selection.
// The list follows the default seccomp profile of the container runtimes (Docker's and Podman's,
// with io_uring as they refuse it since 2023) and Flatpak's sandbox, less what those refuse for
// other reasons (NUMA policy, clocks); the filter refuses these and allows the rest, because the
// window's toolkit and graphics drivers make a different set of calls with each version. Calls
// refused fail with EPERM unless said above; a call made in another architecture's convention (a
// 32-bit one on a 64-bit kernel) ends the process. Sets no_new_privs. Throws std::system_error
// when the filter cannot be installed.
void refuseEscapes();

}  // namespace platform
