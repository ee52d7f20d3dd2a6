#include "platform/app/sheet/ToolkitLoopPump.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace platform {
namespace {

// A descriptor that the toolkit listens on, as Asio waits for it. It stays the toolkit's:
// released when the wait ends, never closed.
struct ReleaseNotClose {
  void operator()(asio::posix::stream_descriptor* descriptor) const {
    if (descriptor->is_open()) descriptor->release();
    delete descriptor;
  }
};
using Watched = std::unique_ptr<asio::posix::stream_descriptor, ReleaseNotClose>;

Watched watch(asio::io_context& io, int fd) {
  Watched descriptor(new asio::posix::stream_descriptor(io));
  std::error_code error;
  descriptor->assign(fd, error);
  if (error) return nullptr;
  return descriptor;
}

// How long Asio waits before looking again at a descriptor that it cannot wait for.
constexpr int lookAgainMilliseconds = 10;

}  // namespace

struct ToolkitLoopPump::State : std::enable_shared_from_this<State> {
  State(asio::io_context& context, const kelpword_window_sheet_plugin& plugin)
      : io(context), loop(plugin), timer(context) {}

  // One turn of the toolkit's loop, then either another turn (after a dispatch, which may have
  // changed everything) or a wait for what the turn named.
  void turn();
  void waitFor(const pollfd* fds, std::size_t count, int timeout);
  // Drops the current wait; its handlers, cancelled or already queued, ignore themselves.
  void stopWaiting();
  void turnSoon();

  asio::io_context& io;
  const kelpword_window_sheet_plugin& loop;
  asio::steady_timer timer;
  std::vector<Watched> watched;
  unsigned long wait = 0;  // which wait a handler belongs to
  bool turnPosted = false;
  bool stopped = false;
};

void ToolkitLoopPump::State::turn() {
  if (stopped) return;
  stopWaiting();
  const pollfd* fds = nullptr;
  std::size_t count = 0;
  int timeout = -1;
  if (loop.loop_turn(&fds, &count, &timeout) != 0) {
    turnSoon();
    return;
  }
  waitFor(fds, count, timeout);
}

void ToolkitLoopPump::State::waitFor(const pollfd* fds, std::size_t count, int timeout) {
  const auto thisWait = ++wait;
  auto onReady = [self = shared_from_this(), thisWait](const std::error_code& error) {
    if (error || self->stopped || self->wait != thisWait) return;
    self->turn();
  };
  const pollfd* const end = fds + count;
  for (const pollfd* fd = fds; fd != end; ++fd) {
    // A descriptor listed twice is waited for once, for what both entries ask.
    if (std::find_if(fds, fd, [&](const pollfd& other) { return other.fd == fd->fd; }) != fd)
      continue;
    short events = 0;
    for (const pollfd* same = fd; same != end; ++same)
      events |= same->fd == fd->fd ? same->events : 0;
    auto descriptor = watch(io, fd->fd);
    if (!descriptor) {
      // Asio cannot wait for this one (a descriptor epoll refuses): look again soon.
      timeout = timeout < 0 ? lookAgainMilliseconds : std::min(timeout, lookAgainMilliseconds);
      continue;
    }
    if ((events & (POLLIN | POLLPRI | POLLHUP | POLLERR)) != 0) {
      descriptor->async_wait(asio::posix::stream_descriptor::wait_read, onReady);
    }
    if ((events & POLLOUT) != 0) {
      descriptor->async_wait(asio::posix::stream_descriptor::wait_write, onReady);
    }
    watched.push_back(std::move(descriptor));
  }
  if (timeout >= 0) {
    timer.expires_after(std::chrono::milliseconds(timeout));
    timer.async_wait(onReady);
  }
}

void ToolkitLoopPump::State::stopWaiting() {
  ++wait;
  timer.cancel();
  watched.clear();
}

void ToolkitLoopPump::State::turnSoon() {
  if (turnPosted || stopped) return;
  turnPosted = true;
  asio::post(io, [self = shared_from_this()] {
    self->turnPosted = false;
    self->turn();
  });
}

ToolkitLoopPump::ToolkitLoopPump(asio::io_context& context,
                                 const kelpword_window_sheet_plugin& plugin)
    : state_(std::make_shared<State>(context, plugin)) {
  if (plugin.loop_acquire() == 0)
    throw std::runtime_error("the toolkit's loop belongs to another thread");
  state_->turnSoon();
}

ToolkitLoopPump::~ToolkitLoopPump() {
  state_->stopped = true;
  state_->stopWaiting();
  state_->loop.loop_release();
}

void ToolkitLoopPump::wake() { state_->turnSoon(); }

}  // namespace platform
