#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Callback.hpp"
#include "platform/MainThread.hpp"

namespace {

// A callback API of the kind the platform offers: answers later, on a thread of its own. The
// test joins that thread, so that it is gone before the main loop is torn down at exit.
std::thread answerOnAnotherThread(std::function<void(std::string, std::thread::id)> completion) {
  return std::thread([completion = std::move(completion)] {
    completion("answer", std::this_thread::get_id());
  });
}

struct Answer {
  std::string value;
  std::thread::id calledOn;
};

TEST(AwaitCallback, ResumesOnTheMainThreadWithTheValue) {
  std::thread answering;
  auto scenario = [&answering]() -> asio::awaitable<void> {
    const auto mainThread = std::this_thread::get_id();
    const auto answer = co_await platform::awaitCallback<Answer>([&](platform::Resume<Answer> resume) {
      answering = answerOnAnotherThread([resume](std::string value, std::thread::id calledOn) {
        resume(Answer{std::move(value), calledOn});
      });
    });
    EXPECT_EQ(answer.value, "answer");
    EXPECT_NE(answer.calledOn, mainThread) << "the callback ran elsewhere";
    EXPECT_EQ(std::this_thread::get_id(), mainThread) << "and the waiter resumed on the main thread";
    EXPECT_TRUE(platform::isMainThread());
  };
  platform::runMain(scenario());
  answering.join();
}

TEST(AwaitCallback, ACallMadeBeforeStartReturnsStillResumesAfterIt) {
  auto scenario = []() -> asio::awaitable<int> {
    bool startReturned = false;
    const int value = co_await platform::awaitCallback<int>([&](platform::Resume<int> resume) {
      resume(7);  // synchronous answer
      startReturned = true;
    });
    EXPECT_TRUE(startReturned);
    co_return value;
  };
  EXPECT_EQ(platform::runMain(scenario()), 7);
}

TEST(AwaitCallbackDeathTest, ASecondCallAbortsWithItsMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto scenario = []() -> asio::awaitable<void> {
    co_await platform::awaitCallback<int>([](platform::Resume<int> resume) {
      resume(1);
      resume(2);
    });
  };
  EXPECT_DEATH(platform::runMain(scenario()), "completion callback was called a second time");
}

TEST(AwaitCallback, ADroppedCallbackIsReportedAndTheLoopDoesNotHang) {
  auto scenario = []() -> asio::awaitable<void> {
    co_await platform::awaitCallback<int>([](platform::Resume<int>) {});
  };
  testing::internal::CaptureStderr();
  EXPECT_THROW(platform::runMain(scenario()), std::logic_error);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("dropped without being called"),
            std::string::npos);
}

}  // namespace
