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

// Kept by awaitCallback(): a result is awaited, and a result was posted to the main loop. While
// more are awaited than were posted, a main loop that runs out of work looks for the next for a
// moment before it sleeps: a load thread's result usually follows within microseconds.
void resultAwaited();
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
