#include "platform/MainThread.hpp"

#include <asio/detached.hpp>
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <thread>

#include "platform/detail/LookForAMoment.hpp"

namespace platform {
namespace {

std::atomic<std::thread::id> runningThread{};
std::atomic<std::uint64_t> resultsComing{0};
std::atomic<std::uint64_t> resultsPosted{0};

// Marks the calling thread as the main thread for as long as it runs the loop.
class MainThreadScope {
 public:
  MainThreadScope() : previous_(runningThread.exchange(std::this_thread::get_id())) {}
  ~MainThreadScope() { runningThread.store(previous_); }
  MainThreadScope(const MainThreadScope&) = delete;
  MainThreadScope& operator=(const MainThreadScope&) = delete;

 private:
  std::thread::id previous_;
};

}  // namespace

asio::io_context& mainContext() {
  static asio::io_context context{1};
  return context;
}

bool isMainThread() { return runningThread.load() == std::this_thread::get_id(); }

namespace detail {

ResultComing::ResultComing() { resultsComing.fetch_add(1, std::memory_order_relaxed); }

ResultComing::~ResultComing() { resultsComing.fetch_sub(1, std::memory_order_release); }

void resultPosted() { resultsPosted.fetch_add(1, std::memory_order_release); }

void runMainUntil(const bool& done) {
  auto& context = mainContext();
  MainThreadScope scope;
  context.restart();
  while (!done) {
    // A result posted after this read is seen by the look below; one posted before, by poll_one.
    const auto posted = resultsPosted.load(std::memory_order_acquire);
    if (context.poll_one() > 0) continue;
    if (resultsComing.load(std::memory_order_relaxed) != 0 && lookForAMoment([&] {
          return resultsPosted.load(std::memory_order_acquire) != posted ||
                 resultsComing.load(std::memory_order_acquire) == 0;
        })) {
      continue;
    }
    if (context.run_one() == 0) {
      throw std::logic_error("the main task can never finish: the main loop ran out of work");
    }
  }
}

}  // namespace detail

void runMain(asio::awaitable<void> task) {
  std::exception_ptr failure;
  bool done = false;
  asio::co_spawn(mainContext(), std::move(task), [&](std::exception_ptr error) {
    failure = error;
    done = true;
  });
  detail::runMainUntil(done);
  if (failure) std::rethrow_exception(failure);
}

void startOnMain(asio::awaitable<void> task) {
  asio::post(mainContext(), [task = std::move(task)]() mutable {
    asio::co_spawn(mainContext(), std::move(task), [](std::exception_ptr error) {
      if (error) std::rethrow_exception(error);
    });
  });
}

}  // namespace platform
