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

// How long Asio waits before looking again at a descriptor that it cannot wait for.
constexpr int lookAgainMilliseconds = 10;

}  // namespace

// GLib's loop goes prepare, query, poll, check, dispatch. A source may hold something open from
// its prepare to its check: the Wayland back end's prepare reserves the connection's next read
// (wl_display_prepare_read), and only its check reads or cancels it. Anything else on this thread
// that talks to the compositor in between (OpenGL set-up does) waits for that read forever. So a
// turn runs whole, within one Asio handler: the poll in it does not wait, and Asio's waiting is
// done between turns, when no source holds anything open.
struct GLibPump::State : std::enable_shared_from_this<State> {
  explicit State(asio::io_context& loop) : io(loop), timer(loop) {}

  // One turn of GLib's loop, then either another turn (after a dispatch, which may have changed
  // every source) or a wait for what the turn's query named.
  void turn();
  // Asks GLib which descriptors to watch, and how long to wait at most (-1: no limit).
  int query();
  // What is ready among the queried descriptors now, without waiting.
  void pollNow();
  void waitFor(int timeout);
  // Drops the current wait; its handlers, cancelled or already queued, ignore themselves.
  void stopWaiting();
  void turnSoon();

  asio::io_context& io;
  GMainContext* context = g_main_context_default();
  asio::steady_timer timer;
  std::vector<GPollFD> fds;
  std::vector<Watched> watched;
  gint priority = 0;
  unsigned long wait = 0;  // which wait a handler belongs to
  bool turnPosted = false;
  bool stopped = false;
};

void GLibPump::State::turn() {
  if (stopped) return;
  stopWaiting();
  g_main_context_prepare(context, &priority);
  const int timeout = query();
  pollNow();
  if (g_main_context_check(context, priority, fds.data(), static_cast<gint>(fds.size())) != FALSE) {
    g_main_context_dispatch(context);
    turnSoon();
    return;
  }
  waitFor(timeout);
}

int GLibPump::State::query() {
  int timeout = -1;
  fds.resize(std::max<std::size_t>(fds.size(), 8));
  while (true) {
    const int count = g_main_context_query(context, priority, &timeout, fds.data(),
                                           static_cast<gint>(fds.size()));
    const bool fitted = count <= static_cast<int>(fds.size());
    fds.resize(static_cast<std::size_t>(count));
    if (fitted) return timeout;
  }
}

void GLibPump::State::pollNow() {
  for (auto& fd : fds) fd.revents = 0;
  if (fds.empty()) return;
  while (::poll(reinterpret_cast<pollfd*>(fds.data()), fds.size(), 0) < 0 && errno == EINTR) {
  }
}

void GLibPump::State::waitFor(int timeout) {
  const auto thisWait = ++wait;
  auto onReady = [self = shared_from_this(), thisWait](const std::error_code& error) {
    if (error || self->stopped || self->wait != thisWait) return;
    self->turn();
  };
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
      timeout = timeout < 0 ? lookAgainMilliseconds : std::min(timeout, lookAgainMilliseconds);
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
  ++wait;
  timer.cancel();
  watched.clear();
}

void GLibPump::State::turnSoon() {
  if (turnPosted || stopped) return;
  turnPosted = true;
  asio::post(io, [self = shared_from_this()] {
    self->turnPosted = false;
    self->turn();
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
  state_->turnSoon();
}

GLibPump::~GLibPump() {
  state_->stopped = true;
  state_->stopWaiting();
  g_main_context_release(state_->context);
}

void GLibPump::wake() { state_->turnSoon(); }

}  // namespace platform
