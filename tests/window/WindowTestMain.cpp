#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include <unistd.h>

#include <gtk/gtk.h>

#include "tests/support/TempFolder.hpp"
#include "tests/window/WindowTestEnvironment.hpp"

namespace window_test {
namespace {

std::unique_ptr<VirtualDisplay> display;
std::string whyNot;
std::unique_ptr<HeadlessCompositor> compositor;
std::string whyNoWayland;

class DisplayEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    compositor = HeadlessCompositor::start(whyNoWayland);
    display = VirtualDisplay::start(whyNot);
    if (!display) return;
    // Before GTK starts (in the tests) and before any thread: the toolkit reads these once.
    for (const auto& [name, value] : toolkitEnvironment(home_.path())) {
      ::setenv(name.c_str(), value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    }
    ::setenv("HOME", home_.path().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    // The test's own windows need no accessibility bus; the shares it starts unset this.
    ::setenv("GTK_A11Y", "none", 1);  // NOLINT(concurrency-mt-unsafe)
    ::unsetenv("WAYLAND_DISPLAY");    // NOLINT(concurrency-mt-unsafe)
  }

  void TearDown() override {
    // The server goes first otherwise, and GTK ends the process when its display breaks.
    if (GdkDisplay* opened = gdk_display_get_default()) gdk_display_close(opened);
    display.reset();
    compositor.reset();
  }

 private:
  testing_support::TempFolder home_;
};

}  // namespace

VirtualDisplay* testDisplay() { return display.get(); }

const std::string& whyNoDisplay() { return whyNot; }

HeadlessCompositor* testCompositor() { return compositor.get(); }

const std::string& whyNoCompositor() { return whyNoWayland; }

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): tests only read it
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (::access((std::filesystem::path(folder) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

RunningShare::Environment toolkitHome(const std::filesystem::path& folder) {
  return {{"NSS_WRAPPER_DISABLE_DEEPBIND", "1"},
          {"XDG_CACHE_HOME", (folder / "cache").string()},
          {"XDG_CONFIG_HOME", (folder / "config").string()},
          {"XDG_STATE_HOME", (folder / "state").string()}};
}

RunningShare::Environment toolkitEnvironment(const std::filesystem::path& folder) {
  RunningShare::Environment environment{{"DISPLAY", display ? display->name() : ""},
                                        {"GSK_RENDERER", "cairo"},
                                        {"GDK_DEBUG", "gl-disable"},
                                        {"XDG_DATA_HOME", (folder / "data").string()}};
  for (auto& entry : toolkitHome(folder)) environment.push_back(std::move(entry));
  return environment;
}

std::optional<Image> settledPicture(WindowId window, std::chrono::milliseconds timeout,
                                    const std::function<void(std::chrono::milliseconds)>& wait,
                                    const std::function<bool(const Image&)>& wanted) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<Image> last;
  int alike = 0;
  while (true) {
    wait(std::chrono::milliseconds(100));
    auto picture = display->capture(window);
    if (!picture) return std::nullopt;
    alike = last && *last == *picture ? alike + 1 : 0;
    last = std::move(picture);
    const Rgb background = last->at(0, 0);
    const bool drawnSomething =
        std::any_of(last->pixels.begin(), last->pixels.end(),
                    [&](const Rgb& pixel) { return !(pixel == background); });
    if (alike >= 2 && drawnSomething && (!wanted || wanted(*last))) return last;
    if (std::chrono::steady_clock::now() > deadline) return last;
  }
}

}  // namespace window_test

int main(int argc, char** argv) {
  // A share that ends early must not take the test with it when the test writes to it.
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new window_test::DisplayEnvironment);
  return RUN_ALL_TESTS();
}
