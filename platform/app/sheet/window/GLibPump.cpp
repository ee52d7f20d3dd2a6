#include "platform/app/sheet/window/GLibPump.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include <glib.h>
#include <poll.h>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace platform {
namespace {

// A descriptor that GLib listens on, as Asio waits for it. It stays GLib's: released when the
// wait ends, never closed.
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

}  // namespace

struct GLibPump::State : std::enable_shared_from_this<State> {
  explicit State(asio::io_context& loop) : io(loop), timer(loop) {}

  // prepare and query, then wait with Asio for a descriptor or the timeout.
  void prepareAndWait();
  // After a wake-up: poll without waiting to learn what is ready, check, dispatch, start again.
  void checkAndDispatch();
  // Drops the current wait; its handlers, cancelled or already queued, ignore themselves.
  void stopWaiting();
  void wakeOnNextTurn();

  asio::io_context& io;
  GMainContext* context = g_main_context_default();
  asio::steady_timer timer;
  std::vector<GPollFD> fds;
  std::vector<Watched> watched;
  gint priority = 0;
  unsigned long wait = 0;  // which wait a handler belongs to
  bool waiting = false;
  bool wakePosted = false;
  bool stopped = false;
};

void GLibPump::State::prepareAndWait() {
  if (stopped) return;
  const bool ready = g_main_context_prepare(context, &priority) != FALSE;
  int timeout = -1;
  fds.resize(std::max<std::size_t>(fds.size(), 8));
  while (true) {
    const int count = g_main_context_query(context, priority, &timeout, fds.data(),
                                           static_cast<gint>(fds.size()));
    if (count <= static_cast<int>(fds.size())) {
      fds.resize(static_cast<std::size_t>(count));
      break;
    }
    fds.resize(static_cast<std::size_t>(count));
  }

  waiting = true;
  const auto self = shared_from_this();
  const auto thisWait = ++wait;
  auto onReady = [self, thisWait](const std::error_code& error) {
    if (error || self->stopped || self->wait != thisWait) return;
    self->checkAndDispatch();
  };
  if (ready || timeout == 0) {
    asio::post(io, [onReady] { onReady({}); });
    return;
  }
  for (std::size_t i = 0; i < fds.size(); ++i) {
    // A descriptor listed twice is waited for once, for what both entries ask.
    const auto first =
        std::find_if(fds.begin(), fds.end(), [&](const GPollFD& fd) { return fd.fd == fds[i].fd; });
    if (first != fds.begin() + static_cast<std::ptrdiff_t>(i)) continue;
    gushort events = 0;
    for (const auto& fd : fds) events |= fd.fd == fds[i].fd ? fd.events : 0;
    auto descriptor = watch(io, fds[i].fd);
    if (!descriptor) {
      // Asio cannot wait for this one (a descriptor epoll refuses): look again soon.
      timeout = timeout < 0 ? 10 : std::min(timeout, 10);
      continue;
    }
    if ((events & (G_IO_IN | G_IO_PRI | G_IO_HUP | G_IO_ERR)) != 0) {
      descriptor->async_wait(asio::posix::stream_descriptor::wait_read, onReady);
    }
    if ((events & G_IO_OUT) != 0) {
      descriptor->async_wait(asio::posix::stream_descriptor::wait_write, onReady);
    }
    watched.push_back(std::move(descriptor));
  }
  if (timeout >= 0) {
    timer.expires_after(std::chrono::milliseconds(timeout));
    timer.async_wait(onReady);
  }
}

void GLibPump::State::stopWaiting() {
  waiting = false;
  ++wait;
  timer.cancel();
  watched.clear();
}

void GLibPump::State::checkAndDispatch() {
  stopWaiting();
  for (auto& fd : fds) fd.revents = 0;
  if (!fds.empty()) {
    while (::poll(reinterpret_cast<pollfd*>(fds.data()), fds.size(), 0) < 0 && errno == EINTR) {
    }
  }
  if (g_main_context_check(context, priority, fds.data(), static_cast<gint>(fds.size())) != FALSE) {
    g_main_context_dispatch(context);
  }
  prepareAndWait();
}

void GLibPump::State::wakeOnNextTurn() {
  if (wakePosted || stopped) return;
  wakePosted = true;
  asio::post(io, [self = shared_from_this()] {
    self->wakePosted = false;
    // Between a dispatch and the next prepare nothing waits: that cycle prepares anyway.
    if (self->stopped || !self->waiting) return;
    self->checkAndDispatch();
  });
}

static_assert(sizeof(GPollFD) == sizeof(pollfd) && offsetof(GPollFD, fd) == offsetof(pollfd, fd) &&
                  offsetof(GPollFD, events) == offsetof(pollfd, events) &&
                  offsetof(GPollFD, revents) == offsetof(pollfd, revents),
              "GLib polls with the system's pollfd");

GLibPump::GLibPump(asio::io_context& context) : state_(std::make_shared<State>(context)) {
  if (g_main_context_acquire(state_->context) == FALSE) {
    throw std::runtime_error("GLib's main context belongs to another thread");
  }
  asio::post(context, [state = state_] { state->prepareAndWait(); });
}

GLibPump::~GLibPump() {
  state_->stopped = true;
  state_->stopWaiting();
  g_main_context_release(state_->context);
}

void GLibPump::wake() { state_->wakeOnNextTurn(); }

}  // namespace platform
