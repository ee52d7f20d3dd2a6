// kelpword-share in a Wayland session (a headless Weston of the test's own, no X display): the
// sheet shows as a window, the share goes on while it shows, and the user answers a failure with
// the keyboard or the compositor's close. Each with OpenGL off, on, and drawing the window.
#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <unistd.h>

#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/window/RunningShare.hpp"
#include "tests/window/WindowTestEnvironment.hpp"

namespace window_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Rendering {
  const char* name;
  RunningShare::Environment environment;
};

// Each names both variables: the test process has its own for its X windows.
const Rendering renderings[] = {
    {"OpenGL off", {{"GDK_DEBUG", "gl-disable"}, {"GSK_RENDERER", ""}}},
    // The toolkit may set up OpenGL; the sheet itself is drawn without it unless asked.
    {"OpenGL on", {{"GDK_DEBUG", ""}, {"GSK_RENDERER", ""}}},
    // The toolkit sets up OpenGL on the compositor's connection and draws with it (Mesa's
    // software renderer here): where a pump that let other work in between GLib's prepare and
    // check waited forever.
    {"drawn with OpenGL", {{"GDK_DEBUG", ""}, {"GSK_RENDERER", "gl"}}},
};

class WaylandShareTest : public e2e::ShareExtensionTest {
 protected:
  void SetUp() override {
    e2e::ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    if (testCompositor() == nullptr) GTEST_SKIP() << whyNoCompositor();
  }

  // kelpword-share started as a Wayland desktop starts it: a compositor and no X display.
  std::unique_ptr<RunningShare> startShare(const std::vector<std::string>& arguments,
                                           const Rendering& rendering) const {
    std::vector<std::string> argv{KELPWORD_SHARE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto environment = this->environment();
    for (const auto& entry : testCompositor()->environment()) environment.push_back(entry);
    for (auto& entry : toolkitHome(folder() / "toolkit")) environment.push_back(std::move(entry));
    environment.insert(environment.end(), rendering.environment.begin(),
                       rendering.environment.end());
    return std::make_unique<RunningShare>(
        argv, environment, std::vector<std::string>{"DISPLAY", "GTK_A11Y"}, folder());
  }
};

TEST_F(WaylandShareTest, AShareCompletesAndHandsTheFileToKelpWord) {
  makeInbox();
  const std::string data = "ID3 a short recording";
  std::size_t shares = 0;
  for (const auto& rendering : renderings) {
    SCOPED_TRACE(rendering.name);
    const fs::path recording = folder() / (std::string(rendering.name) + ".mp3");
    testing_support::writeFile(recording, data);
    const auto share = startShare({recording.string()}, rendering);
    share->closeInput();
    ASSERT_EQ(share->waitForExit(60s), 0) << share->errors();
    const auto starts = opened(++shares);
    ASSERT_EQ(starts.size(), shares);
    ASSERT_EQ(starts.back().files.size(), 1u);
    EXPECT_EQ(fs::path(starts.back().files[0]).filename(), recording.filename());
    EXPECT_EQ(testing_support::readFile(starts.back().files[0]), data);
    EXPECT_EQ(share->output(), "") << "the window is the sheet: nothing on standard output";
  }
}

TEST_F(WaylandShareTest, TheStatusSheetShowsWhileASlowShareIsUnderWayAndGoesWhenItCompletes) {
  makeInbox();
  std::size_t shares = 0;
  for (const auto& rendering : renderings) {
    SCOPED_TRACE(rendering.name);
    // A recording that arrives slowly: standard input, which the test writes into when it likes.
    const auto share = startShare(
        {"--type", "public.mp3", "--name", std::string(rendering.name) + " slow", "-"}, rendering);
    const auto window = testCompositor()->waitForSettledWindow("KelpWord", share->pid(), 60s);
    ASSERT_TRUE(window) << "no window; " << share->errors();
    EXPECT_EQ(window->opaqueWidth, 340) << "the sheet's width";
    EXPECT_FALSE(share->waitForExit(300ms)) << "the share waits for its recording";

    const std::string data = "ID3 a slow recording";
    share->write(data);
    share->closeInput();
    EXPECT_EQ(share->waitForExit(60s), 0) << share->errors();
    EXPECT_FALSE(testCompositor()->showsWindowOf(share->pid()));
    const auto starts = opened(++shares);
    ASSERT_EQ(starts.size(), shares);
    ASSERT_EQ(starts.back().files.size(), 1u);
    EXPECT_EQ(testing_support::readFile(starts.back().files[0]), data);
  }
}

TEST_F(WaylandShareTest, AFailureSheetWaitsUntilReturnOrTheCompositorsCloseCancelsTheShare) {
  if (!testCompositor()->hasInput()) {
    GTEST_SKIP() << "the compositor has no input: its test seat module was not built "
                    "(package libweston-10-dev)";
  }
  enum class Way { returnKey, compositorClose };
  const struct {
    const char* name;
    Way way;
  } ways[] = {{"Return", Way::returnKey}, {"closing from the compositor", Way::compositorClose}};
  for (const auto& rendering : renderings) {
    for (const auto& way : ways) {
      SCOPED_TRACE(std::string(rendering.name) + ", " + way.name);
      // No inbox: the sheet says to open KelpWord first.
      const auto share = startShare({}, rendering);
      const auto window = testCompositor()->waitForSettledWindow("KelpWord", share->pid(), 60s);
      ASSERT_TRUE(window) << "no window; " << share->errors();
      EXPECT_EQ(window->opaqueWidth, 340);
      EXPECT_FALSE(share->waitForExit(500ms)) << "the sheet waits for the user";
      if (way.way == Way::returnKey) {
        testCompositor()->pressKey(KEY_ENTER);
      } else {
        testCompositor()->closeFocusedWindow();
      }
      EXPECT_EQ(share->waitForExit(30s), 1) << share->errors();
      EXPECT_FALSE(testCompositor()->showsWindowOf(share->pid()));
      EXPECT_TRUE(opened(0).empty());
    }
  }
}

}  // namespace
}  // namespace window_test
