#include "platform/app/sandbox/SystemCallFilter.hpp"

#include <initializer_list>
#include <memory>
#include <system_error>

#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>

namespace platform {
namespace {

using Filter = std::unique_ptr<void, decltype(&seccomp_release)>;

void check(int result, const char* what) {
  // libseccomp reports failures as negative errnos.
  if (result < 0) throw std::system_error(-result, std::generic_category(), what);
}

// Calls refused whatever their arguments, with EPERM.
constexpr std::initializer_list<int> refusedCalls = {
    // New connections.
    SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(listen),
    SCMP_SYS(accept), SCMP_SYS(accept4),
    // Namespaces.
    SCMP_SYS(unshare), SCMP_SYS(setns),
    // Other processes' memory, and the kernel's own tools.
    SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev), SCMP_SYS(kcmp),
    SCMP_SYS(pidfd_getfd), SCMP_SYS(userfaultfd), SCMP_SYS(perf_event_open), SCMP_SYS(bpf),
    // Keyrings.
    SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key),
    // Mounts.
    SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot),
    // The machine's own controls.
    SCMP_SYS(init_module), SCMP_SYS(finit_module), SCMP_SYS(delete_module), SCMP_SYS(kexec_load),
    SCMP_SYS(kexec_file_load), SCMP_SYS(reboot), SCMP_SYS(swapon), SCMP_SYS(swapoff),
    SCMP_SYS(syslog), SCMP_SYS(acct), SCMP_SYS(quotactl), SCMP_SYS(iopl), SCMP_SYS(ioperm),
    SCMP_SYS(open_by_handle_at), SCMP_SYS(sethostname), SCMP_SYS(setdomainname)};

// Calls refused with ENOSYS: a program that meets them takes the kernel for one without them and
// falls back on the older call, which the filter judges (clone3 on clone, the new mount API on
// mount), or on none (io_uring on ordinary reads and writes).
constexpr std::initializer_list<int> absentCalls = {
    SCMP_SYS(clone3),         SCMP_SYS(io_uring_setup),
    SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register),
    SCMP_SYS(open_tree),      SCMP_SYS(move_mount),
    SCMP_SYS(fsopen),         SCMP_SYS(fsconfig),
    SCMP_SYS(fsmount),        SCMP_SYS(fspick),
    SCMP_SYS(mount_setattr)};

// clone's flags that make a namespace (CLONE_NEWTIME shares its bit with the exit signal there).
constexpr std::initializer_list<scmp_datum_t> namespaceFlags = {
    CLONE_NEWNS,   CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC,
    CLONE_NEWUSER, CLONE_NEWPID,    CLONE_NEWNET};

// personality's bits that ordinary programs set: 32-bit Linux and 26-style version numbers. The
// others change how memory is laid out (no randomisation, executable data, page zero).
constexpr scmp_datum_t harmlessPersonality = 0x0008 | 0x0020000;

// The kernel reads an ioctl's request and personality's argument as 32 bits.
constexpr int argumentBits = 32;

void refuse(const Filter& filter, int error, int call) {
  check(seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(error), call, 0), "seccomp_rule_add");
}

// Refuses `call` when its argument `argument` has every bit of `bits` set.
void refuseWithBits(const Filter& filter, int call, unsigned argument, scmp_datum_t bits) {
  const scmp_arg_cmp comparison{argument, SCMP_CMP_MASKED_EQ, bits, bits};
  check(seccomp_rule_add_array(filter.get(), SCMP_ACT_ERRNO(EPERM), call, 1, &comparison),
        "seccomp_rule_add");
}

}  // namespace

void refuseEscapes() {
  const Filter filter(seccomp_init(SCMP_ACT_ALLOW), &seccomp_release);
  if (!filter) throw std::system_error(ENOMEM, std::generic_category(), "seccomp_init");
  // Every thread: a toolkit that opened a display may have started some.
  check(seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1), "seccomp_attr_set");
  for (const int call : refusedCalls) refuse(filter, EPERM, call);
  for (const int call : absentCalls) refuse(filter, ENOSYS, call);
  for (const scmp_datum_t flag : namespaceFlags) refuseWithBits(filter, SCMP_SYS(clone), 0, flag);
  // One rule per bit: a rule compares an argument once, and any other bit refuses the call (the
  // query 0xffffffff too, which a confined process has no use for).
  for (int bit = 0; bit < argumentBits; ++bit) {
    const scmp_datum_t value = scmp_datum_t{1} << bit;
    if ((value & harmlessPersonality) == 0) {
      refuseWithBits(filter, SCMP_SYS(personality), 0, value);
    }
  }
  constexpr scmp_datum_t requestBits = (scmp_datum_t{1} << argumentBits) - 1;
  for (const scmp_datum_t request : {scmp_datum_t{TIOCSTI}, scmp_datum_t{TIOCLINUX}}) {
    check(seccomp_rule_add(filter.get(), SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
                           SCMP_A1(SCMP_CMP_MASKED_EQ, requestBits, request)),
          "seccomp_rule_add ioctl");
  }
  check(seccomp_load(filter.get()), "seccomp_load");
}

}  // namespace platform
