// Runs a program as on a kernel without Landlock: a seccomp filter makes
// landlock_create_ruleset fail with ENOSYS for it and everything it starts.
//
//   without-landlock PROGRAM [ARGUMENT…]
#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define THIS_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define THIS_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "without-landlock: unknown architecture"
#endif

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("Usage: without-landlock PROGRAM [ARGUMENT...]\n", stderr);
    return 2;
  }
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, THIS_AUDIT_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_landlock_create_ruleset, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::perror("without-landlock: seccomp");
    return 126;
  }
  ::execv(argv[1], argv + 1);
  std::perror(argv[1]);
  return 127;
}
