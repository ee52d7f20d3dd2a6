#include "platform/detail/ThreadsOnDemand.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "tests/support/Latch.hpp"

namespace {

using platform::ThreadsOnDemand;

// The threads that ran a set of jobs.
class ThreadsSeen {
 public:
  void note() {
    const std::lock_guard lock(mutex_);
    ids_.insert(std::this_thread::get_id());
  }
  std::size_t count() {
    const std::lock_guard lock(mutex_);
    return ids_.size();
  }

 private:
  std::mutex mutex_;
  std::set<std::thread::id> ids_;
};

TEST(ThreadsOnDemand, JobsOneAfterAnotherShareOneThread) {
  ThreadsSeen seen;
  ThreadsOnDemand threads(4);
  for (int i = 0; i < 3; ++i) {
    testing_support::Latch done;
    threads.post([&] {
      seen.note();
      done.countDown();
    });
    ASSERT_TRUE(done.wait());
    // The thread that ran the job must be back to waiting before the next one comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  threads.join();
  EXPECT_EQ(seen.count(), 1U);
}

TEST(ThreadsOnDemand, JobsThatWaitForEachOtherGetThreadsUpToTheMaximum) {
  ThreadsSeen seen;
  testing_support::Latch fourInside(4);
  std::atomic<int> ran{0};
  ThreadsOnDemand threads(4);
  for (int i = 0; i < 8; ++i) {
    threads.post([&] {
      seen.note();
      // Only four jobs running side by side let each other through.
      EXPECT_TRUE(fourInside.arriveAndWait());
      ++ran;
    });
  }
  threads.join();
  EXPECT_EQ(ran.load(), 8);
  EXPECT_EQ(seen.count(), 4U);
}

TEST(ThreadsOnDemand, JoinWaitsForJobsThatJobsPostAndThenTakesNoMore) {
  std::atomic<int> ran{0};
  ThreadsOnDemand threads(2);
  threads.post([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    threads.post([&] { ++ran; });
    ++ran;
  });
  threads.join();
  EXPECT_EQ(ran.load(), 2);
  threads.post([&] { ++ran; });
  EXPECT_EQ(ran.load(), 2);
}

}  // namespace
