#include "platform/app/sandbox/SystemCallFilter.hpp"

#include <memory>
#include <system_error>

#include <seccomp.h>
#include <sys/ioctl.h>

namespace platform {
namespace {

using Filter = std::unique_ptr<void, decltype(&seccomp_release)>;

void check(int result, const char* what) {
  // libseccomp reports failures as negative errnos.
  if (result < 0) throw std::system_error(-result, std::generic_category(), what);
}

}  // namespace

void refuseTerminalInputAndNewSockets() {
  const Filter filter(seccomp_init(SCMP_ACT_ALLOW), &seccomp_release);
  if (!filter) throw std::system_error(ENOMEM, std::generic_category(), "seccomp_init");
  // Every thread: a toolkit that opened a display may have started some.
  check(seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1), "seccomp_attr_set");
  const auto refuse = SCMP_ACT_ERRNO(EPERM);
  // The kernel reads an ioctl's request as 32 bits: higher bits must not hide one.
  constexpr scmp_datum_t requestBits = 0xFFFFFFFFU;
  for (const scmp_datum_t request : {scmp_datum_t{TIOCSTI}, scmp_datum_t{TIOCLINUX}}) {
    check(seccomp_rule_add(filter.get(), refuse, SCMP_SYS(ioctl), 1,
                           SCMP_A1(SCMP_CMP_MASKED_EQ, requestBits, request)),
          "seccomp_rule_add ioctl");
  }
  check(seccomp_rule_add(filter.get(), refuse, SCMP_SYS(socket), 0), "seccomp_rule_add socket");
  check(seccomp_rule_add(filter.get(), refuse, SCMP_SYS(socketpair), 0),
        "seccomp_rule_add socketpair");
  check(seccomp_load(filter.get()), "seccomp_load");
}

}  // namespace platform
