#include "platform/app/sheet/window/GLibLoop.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <vector>

#include <glib.h>

namespace platform::glibLoop {
namespace {

static_assert(sizeof(GPollFD) == sizeof(pollfd) && offsetof(GPollFD, fd) == offsetof(pollfd, fd) &&
                  offsetof(GPollFD, events) == offsetof(pollfd, events) &&
                  offsetof(GPollFD, revents) == offsetof(pollfd, revents),
              "GLib polls with the system's pollfd");

// The descriptors of the last turn's query. One context, one owner thread: this is its state.
std::vector<GPollFD>& queried() {
  static std::vector<GPollFD> fds;
  return fds;
}

GMainContext* context() { return g_main_context_default(); }

// Asks GLib which descriptors to watch, and how long to wait at most (-1: no limit).
int query(gint priority, std::vector<GPollFD>& fds) {
  int timeout = -1;
  fds.resize(std::max<std::size_t>(fds.size(), 8));
  while (true) {
    const int count = g_main_context_query(context(), priority, &timeout, fds.data(),
                                           static_cast<gint>(fds.size()));
    const bool fitted = count <= static_cast<int>(fds.size());
    fds.resize(static_cast<std::size_t>(count));
    if (fitted) return timeout;
  }
}

// What is ready among the queried descriptors now, without waiting.
void pollNow(std::vector<GPollFD>& fds) {
  for (auto& fd : fds) fd.revents = 0;
  if (fds.empty()) return;
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the same layout, asserted above
  while (::poll(reinterpret_cast<pollfd*>(fds.data()), fds.size(), 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

bool acquire() { return g_main_context_acquire(context()) != FALSE; }

void release() { g_main_context_release(context()); }

bool turn(const pollfd** fds, std::size_t* count, int* timeoutMilliseconds) {
  auto& polled = queried();
  gint priority = 0;
  g_main_context_prepare(context(), &priority);
  *timeoutMilliseconds = query(priority, polled);
  pollNow(polled);
  const bool dispatching = g_main_context_check(context(), priority, polled.data(),
                                                static_cast<gint>(polled.size())) != FALSE;
  if (dispatching) g_main_context_dispatch(context());
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the same layout, asserted above
  *fds = reinterpret_cast<const pollfd*>(polled.data());
  *count = polled.size();
  return dispatching;
}

}  // namespace platform::glibLoop
