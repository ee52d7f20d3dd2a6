#include "tests/window/WindowRendering.hpp"

#include <cstdlib>

#include <unistd.h>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/MainThread.hpp"
#include "tests/window/WindowTestEnvironment.hpp"

namespace window_test {

const kelpword_window_sheet_plugin& linkedPlugin() {
  return *kelpword_window_sheet(KELPWORD_WINDOW_SHEET_ABI_VERSION);
}

bool displayAvailable() { return linkedPlugin().display_available() != 0; }

void runMainLoopFor(std::chrono::milliseconds duration) {
  platform::runMain([](std::chrono::milliseconds time) -> asio::awaitable<void> {
    asio::steady_timer timer(co_await asio::this_coro::executor, time);
    co_await timer.async_wait(asio::use_awaitable);
  }(duration));
}

InProcessSheets::~InProcessSheets() {
  if (renderer_) renderer_->close();
}

InProcessSheets::Shown InProcessSheets::show(std::shared_ptr<platform::View> root, bool keepOpen) {
  if (renderer_) renderer_->close();
  renderer_ = std::make_unique<platform::WindowSheetRenderer>(linkedPlugin());
  dismissed_ = false;
  renderer_->setTitle("KelpWord");
  renderer_->show(std::move(root), [this] { dismissed_ = true; });
  Shown shown;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    runMainLoopFor(std::chrono::milliseconds(50));
    const auto windows = testDisplay()->windowsTitled("KelpWord", ::getpid());
    if (windows.empty()) continue;
    shown.window = windows.front();
    testDisplay()->movePointerAway();
    shown.picture = settledPicture(shown.window, std::chrono::seconds(20), runMainLoopFor);
    break;
  }
  if (!keepOpen) {
    renderer_->close();
    runMainLoopFor(std::chrono::milliseconds(50));
  }
  return shown;
}

void WindowRenderingTest::SetUp() {
  if (testDisplay() == nullptr) GTEST_SKIP() << whyNoDisplay();
  if (!displayAvailable()) {
    GTEST_SKIP() << "GTK cannot open the test display " << testDisplay()->name();
  }
}

void keepPicture(const Image& picture, const std::string& name) {
  const char* folder = std::getenv("WINDOW_TEST_PICTURES");  // NOLINT(concurrency-mt-unsafe)
  if (folder == nullptr || *folder == '\0') return;
  std::string file = name;
  for (auto& c : file) {
    if (c == ' ' || c == '/' || c == ',') c = '-';
  }
  picture.save(std::filesystem::path(folder) / (file + ".ppm"));
}

}  // namespace window_test
