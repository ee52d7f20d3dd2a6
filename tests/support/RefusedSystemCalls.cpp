#include "tests/support/RefusedSystemCalls.hpp"

#include <cstddef>
#include <vector>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

namespace testing_support {
namespace {

#if defined(__x86_64__)
constexpr std::uint32_t thisArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t thisArchitecture = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t thisArchitecture = 0;
#endif

sock_filter load(std::size_t offset) {
  return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(offset));
}

sock_filter answer(std::uint32_t action) { return BPF_STMT(BPF_RET | BPF_K, action); }

// Both architectures are little-endian: an argument's low half comes first.
std::size_t argumentOffset(unsigned argument) {
  return offsetof(seccomp_data, args) + argument * sizeof(seccomp_data{}.args[0]);
}

}  // namespace

bool refuseSystemCalls(std::initializer_list<Refusal> refusals) {
  if (thisArchitecture == 0) return false;
  // Another architecture's calls, which the numbers below do not name, pass.
  std::vector<sock_filter> filter = {
      load(offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, thisArchitecture, 1, 0),
      answer(SECCOMP_RET_ALLOW),
  };
  // Each refusal a block that answers or falls through to the next.
  for (const auto& refusal : refusals) {
    const auto call = static_cast<std::uint32_t>(refusal.call);
    const auto refuse =
        answer(SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(refusal.error) & SECCOMP_RET_DATA));
    filter.push_back(load(offsetof(seccomp_data, nr)));
    if (refusal.match == Match::always) {
      filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1));
      filter.push_back(refuse);
      continue;
    }
    const std::uint16_t test = refusal.match == Match::anyBitOf ? BPF_JSET : BPF_JEQ;
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 3));
    filter.push_back(load(argumentOffset(refusal.argument)));
    filter.push_back(BPF_JUMP(BPF_JMP | test | BPF_K, refusal.value, 0, 1));
    filter.push_back(refuse);
  }
  filter.push_back(answer(SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace testing_support
