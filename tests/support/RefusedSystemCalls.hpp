#pragma once

#include <cstdint>
#include <initializer_list>

namespace testing_support {

// Which calls of a system call a refusal applies to, by one of their arguments' low 32 bits.
enum class Match {
  always,
  anyBitOf,  // the argument has one of the bits of `value` set
  equals,    // the argument is `value`
};

// A system call that the kernel answers with `error` without running it, as a kernel or file
// system that lacks it does.
struct Refusal {
  long call;  // __NR_…
  int error;
  Match match = Match::always;
  unsigned argument = 0;  // 0 to 5
  std::uint32_t value = 0;
};

// Has the kernel refuse these calls for the calling thread and what it starts from now on, for
// good: a forked child's to make. False, with nothing changed, where this architecture has no
// filter here or the kernel does not let the process install one.
bool refuseSystemCalls(std::initializer_list<Refusal> refusals);

}  // namespace testing_support
