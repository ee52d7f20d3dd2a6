#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testing_support {

// A count the threads of a test bring down and wait on: the test's own signal that something
// has happened, in place of sleeping and hoping. Unlike std::latch its wait gives up after a
// while, so that a fault shows as a failed expectation rather than a test that hangs.
class Latch {
 public:
  explicit Latch(int count = 1) : count_(count) {}

  void countDown() {
    const std::lock_guard lock(mutex_);
    if (count_ > 0 && --count_ == 0) reached_.notify_all();
  }

  // True once the count is down to zero; false when `timeout` passed first.
  bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return reached_.wait_for(lock, timeout, [this] { return count_ == 0; });
  }

  // Counts down, then waits for the others.
  bool arriveAndWait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    countDown();
    return wait(timeout);
  }

 private:
  std::mutex mutex_;
  std::condition_variable reached_;
  int count_;
};

}  // namespace testing_support
