// GLib's sources run from the Asio main loop, with no GLib loop of their own: timeouts,
// descriptors, and sources the main thread adds, next to Asio's own work.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/MainThread.hpp"
#include "platform/app/sheet/ToolkitLoopPump.hpp"
#include "platform/app/sheet/WindowSheetPlugin.h"

namespace {

using namespace std::chrono_literals;

// Runs the main loop until `done` holds or ten seconds have passed; whether it held.
bool runMainUntil(const std::function<bool()>& done) {
  return platform::runMain([](std::function<bool()> condition) -> asio::awaitable<bool> {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
      timer.expires_after(5ms);
      co_await timer.async_wait(asio::use_awaitable);
    }
    co_return condition();
  }(done));
}

void runMainFor(std::chrono::milliseconds duration) {
  const auto until = std::chrono::steady_clock::now() + duration;
  runMainUntil([&] { return std::chrono::steady_clock::now() >= until; });
}

// GLib's loop, through the window sheet plugin linked in.
const kelpword_window_sheet_plugin& glib() {
  return *kelpword_window_sheet(KELPWORD_WINDOW_SHEET_ABI_VERSION);
}

gboolean setFlag(gpointer flag) {
  *static_cast<bool*>(flag) = true;
  return G_SOURCE_REMOVE;
}

TEST(GLibPumpTest, AGLibTimeoutFiresFromTheAsioLoop) {
  platform::ToolkitLoopPump pump(platform::mainContext(), glib());
  bool fired = false;
  const auto started = std::chrono::steady_clock::now();
  g_timeout_add(50, setFlag, &fired);
  pump.wake();
  EXPECT_TRUE(runMainUntil([&] { return fired; }));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 50ms) << "not before its time";
}

TEST(GLibPumpTest, ASourceTheMainThreadAddsRunsOnceThePumpIsWoken) {
  platform::ToolkitLoopPump pump(platform::mainContext(), glib());
  runMainFor(50ms);  // the pump waits now, for nothing GLib would wake it for
  bool ran = false;
  g_idle_add(setFlag, &ran);
  pump.wake();
  EXPECT_TRUE(runMainUntil([&] { return ran; }));
}

struct PipeReader {
  std::string received;
  bool ended = false;
};

gboolean readPipe(gint fd, GIOCondition /*condition*/, gpointer data) {
  auto* reader = static_cast<PipeReader*>(data);
  char buffer[64];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n <= 0) {
    reader->ended = true;
    return G_SOURCE_REMOVE;
  }
  reader->received.append(buffer, static_cast<std::size_t>(n));
  return G_SOURCE_CONTINUE;
}

TEST(GLibPumpTest, GLibDescriptorsAndAsioTimersBothRunWhileEitherWaits) {
  platform::ToolkitLoopPump pump(platform::mainContext(), glib());
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  PipeReader reader;
  g_unix_fd_add(ends[0], G_IO_IN, readPipe, &reader);
  pump.wake();
  bool asioTimerFired = false;
  asio::steady_timer asioTimer(platform::mainContext(), 20ms);
  asioTimer.async_wait([&](const std::error_code&) { asioTimerFired = true; });
  std::thread writer([&] {
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(::write(ends[1], "recording", 9), 9);
    ::close(ends[1]);
  });

  EXPECT_TRUE(runMainUntil([&] { return reader.ended; }));
  writer.join();
  ::close(ends[0]);
  EXPECT_EQ(reader.received, "recording");
  EXPECT_TRUE(asioTimerFired) << "Asio's own work goes on while GLib waits";
}

TEST(GLibPumpTest, ASourceAnotherThreadAddsRunsWithoutAWake) {
  platform::ToolkitLoopPump pump(platform::mainContext(), glib());
  runMainFor(50ms);  // the pump waits now
  bool ran = false;
  std::thread([&] { g_idle_add(setFlag, &ran); }).join();
  EXPECT_TRUE(runMainUntil([&] { return ran; }));
}

// A source that records whether GLib has prepared it and not yet checked it: the span in which
// the Wayland back end holds the connection's next read reserved.
struct Bracket {
  GSource source;
  bool open;
  int prepared;
};

gboolean openBracket(GSource* source, gint* timeout) {
  auto* bracket = reinterpret_cast<Bracket*>(source);
  bracket->open = true;
  ++bracket->prepared;
  *timeout = -1;
  return FALSE;
}

gboolean closeBracket(GSource* source) {
  reinterpret_cast<Bracket*>(source)->open = false;
  return FALSE;
}

gboolean neverDispatched(GSource* /*source*/, GSourceFunc /*callback*/, gpointer /*data*/) {
  return G_SOURCE_CONTINUE;
}

gboolean keepGoing(gpointer /*data*/) { return G_SOURCE_CONTINUE; }

TEST(GLibPumpTest, NoOtherWorkRunsBetweenAPrepareAndItsCheck) {
  static GSourceFuncs bracketFuncs{openBracket, closeBracket, neverDispatched,
                                   nullptr,     nullptr,      nullptr};
  platform::ToolkitLoopPump pump(platform::mainContext(), glib());
  GSource* source = g_source_new(&bracketFuncs, sizeof(Bracket));
  auto* bracket = reinterpret_cast<Bracket*>(source);
  bracket->open = false;
  bracket->prepared = 0;
  // First of all sources, so that GLib prepares and checks it on every turn.
  g_source_set_priority(source, G_PRIORITY_HIGH - 100);
  g_source_attach(source, g_main_context_default());
  // GLib turns every few milliseconds, and Asio work runs in between, as a window's would.
  const guint ticking = g_timeout_add(3, keepGoing, nullptr);
  pump.wake();
  int ranInside = 0;
  int ran = 0;
  asio::steady_timer timer(platform::mainContext());
  std::function<void()> tick = [&] {
    ++ran;
    if (bracket->open) ++ranInside;
    timer.expires_after(1ms);
    timer.async_wait([&](const std::error_code& error) {
      if (!error) tick();
    });
  };
  tick();
  runMainFor(300ms);
  timer.cancel();
  runMainFor(10ms);
  const int prepared = bracket->prepared;
  g_source_remove(ticking);
  g_source_destroy(source);
  g_source_unref(source);

  EXPECT_GT(prepared, 10) << "GLib turned";
  EXPECT_GT(ran, 10) << "Asio's work ran";
  EXPECT_EQ(ranInside, 0) << "Asio work that ran while a GLib turn was open";
}

TEST(GLibPumpTest, GLibsContextIsFreeForOthersOnceThePumpIsGone) {
  { platform::ToolkitLoopPump pump(platform::mainContext(), glib()); }
  bool acquired = false;
  std::thread other([&] {
    acquired = g_main_context_acquire(g_main_context_default()) != FALSE;
    if (acquired) g_main_context_release(g_main_context_default());
  });
  other.join();
  EXPECT_TRUE(acquired);

  std::promise<void> owned;
  std::promise<void> done;
  std::thread owner([&] {
    const bool acquiredThere = g_main_context_acquire(g_main_context_default()) != FALSE;
    owned.set_value();
    done.get_future().wait();
    if (acquiredThere) g_main_context_release(g_main_context_default());
  });
  owned.get_future().wait();
  EXPECT_THROW(platform::ToolkitLoopPump pump(platform::mainContext(), glib()), std::runtime_error);
  done.set_value();
  owner.join();
}

}  // namespace
