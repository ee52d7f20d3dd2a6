#pragma once

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <functional>
#include <memory>
#include <utility>

#include "platform/MainThread.hpp"

namespace platform {

namespace detail {
[[noreturn]] void reportCallbackCalledTwice();
void reportCallbackDropped();
}  // namespace detail

// The resuming end of awaitCallback(): a copyable callable that hands one value to the waiting
// coroutine. It may be called from any thread, exactly once across all its copies: a second call
// aborts the process with a diagnostic, and dropping every copy without a call is reported on
// standard error (the waiting coroutine then never resumes).
template <class T>
class Resume {
 public:
  void operator()(T value) const { state_->resume(std::move(value)); }

 private:
  template <class U, class Start>
  friend asio::awaitable<U> awaitCallback(Start start);

  struct State {
    std::function<void(T)> handler;
    std::atomic<bool> called{false};

    void resume(T value) {
      if (called.exchange(true)) detail::reportCallbackCalledTwice();
      // The handler belongs to a coroutine on the main thread: run it there, never inline.
      asio::post(mainContext(), [handler = std::move(handler), value = std::move(value)]() mutable {
        handler(std::move(value));
      });
      detail::resultPosted();
    }
    ~State() {
      if (!called.load()) detail::reportCallbackDropped();
    }
  };

  explicit Resume(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

// Calls `start(resume)` on the current thread, then waits until `resume(value)` has been called,
// from any thread, and returns that value. The waiting coroutine resumes on the main thread; the
// main loop keeps running meanwhile and does not run out of work while the call is pending.
template <class T, class Start>
asio::awaitable<T> awaitCallback(Start start) {
  co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(T)>(
      [&start](auto handler) {
        auto state = std::make_shared<typename Resume<T>::State>();
        // Asio's handlers are move-only; std::function wants a copyable callable.
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        state->handler = [shared, work = asio::make_work_guard(mainContext())](T value) mutable {
          std::move (*shared)(std::move(value));
          work.reset();
        };
        start(Resume<T>(std::move(state)));
      },
      asio::use_awaitable);
}

}  // namespace platform
