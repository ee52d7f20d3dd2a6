#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testing_support {

// Asks `condition` every `interval` until it holds or `timeout` has passed; whether it held. For
// what another process does, where no signal of the test's own (a Latch) can say when; a fault
// then shows as a failed expectation rather than a test that hangs.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                      std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
  return true;
}

}  // namespace testing_support
