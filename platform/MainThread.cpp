#include "platform/MainThread.hpp"

#include <asio/detached.hpp>
#include <atomic>
#include <stdexcept>
#include <thread>

namespace platform {
namespace {

std::atomic<std::thread::id> runningThread{};

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

void runMainUntil(const bool& done) {
  auto& context = mainContext();
  MainThreadScope scope;
  context.restart();
  while (!done) {
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
