#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/MainThread.hpp"

namespace {

asio::awaitable<int> answer() { co_return 42; }

asio::awaitable<int> failing() {
  throw std::runtime_error("failed inside");
  co_return 0;
}

TEST(RunMain, ReturnsTheResultOrRethrows) {
  EXPECT_EQ(platform::runMain(answer()), 42);
  EXPECT_THROW(platform::runMain(failing()), std::runtime_error);
}

TEST(RunMain, RunsTheTaskOnTheMainThread) {
  EXPECT_FALSE(platform::isMainThread()) << "only while the loop runs";
  auto onMain = []() -> asio::awaitable<bool> { co_return platform::isMainThread(); };
  EXPECT_TRUE(platform::runMain(onMain()));
}

TEST(StartOnMain, RunsTheTaskOnlyAfterItsStarterHasReturned) {
  std::vector<std::string> events;
  auto started = [&]() -> asio::awaitable<void> {
    events.push_back("task");
    co_return;
  };
  auto starter = [&]() -> asio::awaitable<void> {
    platform::startOnMain(started());
    events.push_back("starter returns");
    co_return;
  };
  auto scenario = [&]() -> asio::awaitable<void> {
    co_await starter();
    events.push_back("after starter");
    // Let the loop run the posted task.
    co_await asio::post(platform::mainContext(), asio::use_awaitable);
  };
  platform::runMain(scenario());
  EXPECT_EQ(events, (std::vector<std::string>{"starter returns", "after starter", "task"}));
}

}  // namespace
