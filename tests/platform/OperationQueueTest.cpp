#include "platform/OperationQueue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/MainThread.hpp"
#include "tests/support/Latch.hpp"

namespace {

using namespace std::chrono_literals;
using platform::OperationQueue;

TEST(OperationQueue, RunsSeveralOperationsAtOnce) {
  testing_support::Latch bothInside(2);
  std::atomic<int> metTogether{0};
  {
    OperationQueue queue;
    for (int i = 0; i < 2; ++i) {
      queue.addOperation([&] {
        // Only a second operation running beside this one can let it through.
        if (bothInside.arriveAndWait()) ++metTogether;
      });
    }
  }
  EXPECT_EQ(metTogether.load(), 2);
}

TEST(OperationQueue, RunsNoMoreOperationsAtOnceThanItsMaximum) {
  for (const std::size_t maximum : {1U, 2U}) {
    SCOPED_TRACE(maximum);
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};
    {
      OperationQueue queue(maximum);
      for (int i = 0; i < 8; ++i) {
        queue.addOperation([&] {
          const int now = ++running;
          int most = mostAtOnce.load();
          while (now > most && !mostAtOnce.compare_exchange_weak(most, now)) {
          }
          std::this_thread::sleep_for(5ms);
          --running;
        });
      }
    }
    EXPECT_LE(mostAtOnce.load(), static_cast<int>(maximum));
  }
}

TEST(OperationQueue, NeedsAtLeastOneThread) {
  EXPECT_THROW(OperationQueue queue(0), std::invalid_argument);
}

TEST(OperationQueue, NeverRunsOperationsOnTheMainThread) {
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> ran{false};
  auto onMain = [&]() -> asio::awaitable<void> {
    {
      OperationQueue queue;
      queue.addOperation([&] {
        ranOnMain = platform::isMainThread();
        ran = true;
      });
    }  // waits for the operation, on the main thread
    co_return;
  };
  platform::runMain(onMain());
  EXPECT_TRUE(ran.load());
  EXPECT_FALSE(ranOnMain.load());
}

TEST(OperationQueue, CurrentIsTheQueueWhoseOperationRuns) {
  std::atomic<OperationQueue*> seenOnFirst{nullptr};
  std::atomic<OperationQueue*> seenOnSecond{nullptr};
  std::atomic<OperationQueue*> seenOnFirstAfterwards{nullptr};
  const OperationQueue* firstQueue = nullptr;
  const OperationQueue* secondQueue = nullptr;
  {
    OperationQueue second;  // outlives `first`, whose operation adds to it
    OperationQueue first;
    firstQueue = &first;
    secondQueue = &second;
    first.addOperation([&] {
      seenOnFirst = OperationQueue::current();
      second.addOperation([&] { seenOnSecond = OperationQueue::current(); });
      seenOnFirstAfterwards = OperationQueue::current();
    });
    EXPECT_EQ(OperationQueue::current(), nullptr) << "outside any operation";
  }
  EXPECT_EQ(seenOnFirst.load(), firstQueue);
  EXPECT_EQ(seenOnSecond.load(), secondQueue);
  EXPECT_EQ(seenOnFirstAfterwards.load(), firstQueue);
}

TEST(OperationQueue, DestructionWaitsForEveryAddedOperation) {
  std::atomic<int> finished{0};
  {
    OperationQueue queue(2);
    for (int i = 0; i < 4; ++i) {
      queue.addOperation([&] {
        std::this_thread::sleep_for(10ms);
        // Added while the queue may already be waiting to be destroyed.
        queue.addOperation([&] {
          std::this_thread::sleep_for(10ms);
          ++finished;
        });
        ++finished;
      });
    }
  }
  EXPECT_EQ(finished.load(), 8);
}

TEST(OperationQueue, RecordsItsQualityOfService) {
  OperationQueue queue;
  EXPECT_EQ(queue.qualityOfService(), OperationQueue::QualityOfService::standard);
  queue.setQualityOfService(OperationQueue::QualityOfService::userInitiated);
  EXPECT_EQ(queue.qualityOfService(), OperationQueue::QualityOfService::userInitiated);
  EXPECT_EQ(static_cast<int>(queue.qualityOfService()), 25);
}

}  // namespace
