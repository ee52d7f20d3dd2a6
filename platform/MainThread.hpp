#pragma once

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <exception>
#include <optional>
#include <utility>

// The main thread: the thread that runs mainContext(). Every task that must run there is started
// with startOnMain() or run with runMain().
namespace platform {

// The main thread's run loop, one per process.
asio::io_context& mainContext();

// True on the thread that is running mainContext() now.
bool isMainThread();

namespace detail {
// Runs mainContext() on the calling thread until `done` is true. Throws std::logic_error when
// the loop runs out of work before that, since the task could then never finish.
void runMainUntil(const bool& done);

// Held by work under way on another thread that hands the main loop its result when done, such
// as an item provider's load: while any is held, a main loop that runs out of work looks for the
// next result for a moment before it sleeps, since one usually follows within microseconds.
class ResultComing {
 public:
  ResultComing();
  ~ResultComing();
  ResultComing(const ResultComing&) = delete;
  ResultComing& operator=(const ResultComing&) = delete;
};

// Called by awaitCallback() once it has posted a result to the main loop: ends a look.
void resultPosted();
}  // namespace detail

// Runs the main loop on the calling thread until `task` completes, and returns its result or
// rethrows its exception.
template <class T>
T runMain(asio::awaitable<T> task) {
  std::optional<T> result;
  std::exception_ptr failure;
  bool done = false;
  asio::co_spawn(mainContext(), std::move(task), [&](std::exception_ptr error, T value) {
    failure = error;
    if (!error) result.emplace(std::move(value));
    done = true;
  });
  detail::runMainUntil(done);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

void runMain(asio::awaitable<void> task);

// Starts `task` on the main thread after the caller has returned (co_spawn alone would run it
// inline up to its first suspension). The task owns what it captured until it ends. Nobody waits
// for it: an exception escaping it is rethrown out of the main loop.
void startOnMain(asio::awaitable<void> task);

}  // namespace platform
