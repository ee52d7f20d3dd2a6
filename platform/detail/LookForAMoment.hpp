#pragma once

#include <chrono>

namespace platform::detail {

// How long a thread that ran out of work looks for more before it sleeps. Work handed between
// two threads that are both awake costs no system call; waking a sleeper costs a futex call and
// a context switch on each side, more than a small copy takes on tmpfs.
inline constexpr auto lookingTime = std::chrono::microseconds(50);

inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Spins until `found()` is true or lookingTime has passed; true when found.
template <class Found>
bool lookForAMoment(Found found) {
  const auto until = std::chrono::steady_clock::now() + lookingTime;
  while (!found()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    pause();
  }
  return true;
}

}  // namespace platform::detail
