// kelpword-share on a desktop: started with a display, it shows its sheet as a window, and the
// user answers it with the keyboard, the mouse or the window manager.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <thread>

#include <gtk/gtk.h>
#include <unistd.h>

#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/Promptly.hpp"
#include "tests/support/ShareSheet.hpp"
#include "tests/support/SlowDisk.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/WaitUntil.hpp"
#include "tests/window/RunningShare.hpp"
#include "tests/window/WindowRendering.hpp"
#include "tests/window/WindowTestEnvironment.hpp"

namespace window_test {

using testing_support::ShareSheet;
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string sending = "Sending to KelpWord\u2026";
const std::string openFirst =
    "Open KelpWord once first, so it can receive recordings. Then share the recording again.";
const std::string notAudio =
    "KelpWord can only turn audio and video into text, and what you dropped isn\u2019t either. "
    "Drop a recording or an audio file.";

void sleepFor(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

class WindowShareTest : public e2e::ShareExtensionTest, protected InProcessSheets {
 protected:
  void SetUp() override {
    e2e::ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    if (testDisplay() == nullptr) GTEST_SKIP() << whyNoDisplay();
    if (!displayAvailable()) {
      GTEST_SKIP() << "GTK cannot open the test display " << testDisplay()->name();
    }
  }

  // kelpword-share started as a desktop starts it, with the test display.
  std::unique_ptr<RunningShare> startShare(const std::vector<std::string>& arguments,
                                           const RunningShare::Environment& extra = {}) const {
    std::vector<std::string> argv{KELPWORD_SHARE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto environment = this->environment();
    for (auto& entry : toolkitEnvironment(folder() / "toolkit")) environment.push_back(entry);
    for (const auto& entry : extra) environment.push_back(entry);
    return std::make_unique<RunningShare>(
        argv, environment, std::vector<std::string>{"WAYLAND_DISPLAY", "GTK_A11Y"}, folder());
  }

  // The share's window, once it shows, and what it shows once settled, as `wanted` when given.
  struct Sheet {
    WindowId window = 0;
    std::optional<Image> picture;
  };
  Sheet sheetOf(const RunningShare& share,
                const std::function<bool(const Image&)>& wanted = nullptr) const {
    Sheet sheet;
    const auto window = testDisplay()->waitForWindow("KelpWord", share.pid(), 30s);
    if (!window) return sheet;
    sheet.window = *window;
    testDisplay()->movePointerAway();
    sheet.picture = settledPicture(*window, 20s, sleepFor, wanted);
    return sheet;
  }

  // The sheet as the window renderer draws `text`, with the Close button after a failure.
  Image expected(const std::string& text, bool failed,
                 GtkTextDirection direction = GTK_TEXT_DIR_LTR) {
    ShareSheet sheet(sending);
    if (failed) sheet.fail(text);
    gtk_widget_set_default_direction(direction);
    auto shown = show(sheet.root);
    gtk_widget_set_default_direction(GTK_TEXT_DIR_LTR);
    return shown.picture.value_or(Image{});
  }
};

TEST_F(WindowShareTest, TheStatusSheetShowsWhileASlowShareIsUnderWayAndGoesWhenItCompletes) {
  makeInbox();
  const auto expectedPicture = expected(sending, /*failed=*/false);
  // A recording that arrives slowly: standard input, which the test writes into when it likes.
  const auto share = startShare({"--type", "public.mp3", "--name", "Interview", "-"});
  const auto sheet = sheetOf(*share, [&](const Image& shown) { return shown == expectedPicture; });
  ASSERT_TRUE(sheet.picture) << "no settled window; " << share->errors();
  keepPicture(*sheet.picture, "slow share");
  EXPECT_EQ(*sheet.picture, expectedPicture) << "the status sheet, 340 by 90, label alone";
  EXPECT_FALSE(share->waitForExit(300ms)) << "the share waits for its recording";

  const std::string data = "ID3 a slow recording";
  share->write(data);
  share->closeInput();
  EXPECT_EQ(share->waitForExit(30s), 0) << share->errors();
  EXPECT_TRUE(testDisplay()->windowsTitled("KelpWord", share->pid()).empty());
  const auto starts = opened();
  ASSERT_EQ(starts.size(), 1u);
  ASSERT_EQ(starts[0].files.size(), 1u);
  EXPECT_EQ(fs::path(starts[0].files[0]).filename(), "Interview.mp3");
  EXPECT_EQ(testing_support::readFile(starts[0].files[0]), data);
  EXPECT_EQ(share->output(), "") << "the window is the sheet: nothing on standard output";
}

TEST_F(WindowShareTest, AFailureShowsTheExactMessageWithCloseAtTheBottomRight) {
  struct Case {
    const char* name;
    bool inbox;
    const std::string& message;
    RunningShare::Environment environment;
    GtkTextDirection direction;
  };
  const Case cases[] = {
      {"no inbox", false, openFirst, {}, GTK_TEXT_DIR_LTR},
      // GTK takes its direction from the language of its own translations.
      {"Hebrew, right to left",
       false,
       openFirst,
       {{"LANG", "C.UTF-8"}, {"LANGUAGE", "he"}},
       GTK_TEXT_DIR_RTL},
      // The inbox stays from here on.
      {"no items", true, notAudio, {}, GTK_TEXT_DIR_LTR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.inbox) makeInbox();
    const auto expectedPicture = expected(c.message, /*failed=*/true, c.direction);
    const auto share = startShare({}, c.environment);
    // Launched from a file manager, standard input is empty: that presses nothing in a window.
    share->closeInput();
    const auto sheet =
        sheetOf(*share, [&](const Image& shown) { return shown == expectedPicture; });
    ASSERT_TRUE(sheet.picture) << "no settled window; " << share->errors();
    keepPicture(*sheet.picture, c.name);
    EXPECT_EQ(*sheet.picture, expectedPicture) << "the message, as the renderer draws it";
    const auto parts = findSheetParts(*sheet.picture);
    EXPECT_EQ(sheet.picture->width, 340);
    EXPECT_GT(sheet.picture->height, 90) << "grown, for the button below the wrapped message";
    if (c.direction == GTK_TEXT_DIR_RTL) {
      EXPECT_EQ(parts.button.left, 16) << parts.button;
    } else {
      EXPECT_EQ(parts.button.right, 340 - 16) << parts.button;
    }
    EXPECT_EQ(parts.button.bottom, sheet.picture->height - 12) << parts.button;
    EXPECT_FALSE(parts.text.overlaps(parts.button)) << parts.text << " " << parts.button;
    EXPECT_FALSE(share->waitForExit(500ms)) << "the sheet waits for the user";
  }
}

TEST_F(WindowShareTest, ReturnCloseAndTheWindowManagerEachCancelTheShare) {
  enum class Way { returnKey, clickClose, windowManager };
  struct Case {
    const char* name;
    Way way;
  };
  const Case cases[] = {
      {"Return", Way::returnKey},
      {"a click on Close", Way::clickClose},
      {"closing the window from the window manager", Way::windowManager},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto share = startShare({});
    const auto sheet = sheetOf(*share, [](const Image& shown) {
      return !findSheetParts(shown).button.empty() && shown.height > 90;
    });
    ASSERT_TRUE(sheet.picture) << "no settled window; " << share->errors();
    const auto parts = findSheetParts(*sheet.picture);
    ASSERT_FALSE(parts.button.empty());
    switch (c.way) {
      case Way::returnKey:
        testDisplay()->pressKey(sheet.window, "Return");
        break;
      case Way::clickClose: {
        const auto where = testDisplay()->geometry(sheet.window);
        ASSERT_TRUE(where);
        testDisplay()->click(where->x + (parts.button.left + parts.button.right) / 2,
                             where->y + (parts.button.top + parts.button.bottom) / 2);
        break;
      }
      case Way::windowManager:
        testDisplay()->closeFromWindowManager(sheet.window);
        break;
    }
    EXPECT_EQ(share->waitForExit(20s), 1) << share->errors();
  }
}

// Close (the window manager's, on the status sheet) in the middle of a copy from a slow disk: the
// copy stops at its next chunk and the share ends as cancelled, leaving nothing behind.
TEST_F(WindowShareTest, ClosingTheWindowDuringALongCopyEndsTheShareWithinASecond) {
  const testing_support::SlowDisk disk(folder() / "slow.img", folder() / "slow");
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  makeInbox();
  disk.enter();
  const auto share = startShare({disk.recording().string()});
  disk.leave();
  const auto window = testDisplay()->waitForWindow("KelpWord", share->pid(), 30s);
  ASSERT_TRUE(window) << share->errors();
  ASSERT_TRUE(testing_support::waitUntil(
      [&] {
        return testing_support::SlowDisk::bytesReadBy(share->pid()) > (std::uint64_t{1} << 20);
      },
      10s))
      << "the copy is under way, and slow; " << share->errors();

  const auto closed = std::chrono::steady_clock::now();
  testDisplay()->closeFromWindowManager(*window);
  const auto status = share->waitForExit(20s);
  const auto took = std::chrono::steady_clock::now() - closed;

  EXPECT_EQ(status, 1) << "ends as cancelled; " << share->errors();
  EXPECT_LT(took, testing_support::addressSanitized ? 3s : 1s);
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_TRUE(fs::is_empty(folders[0])) << "nothing, hidden or not, in the per-share folder";
}

TEST_F(WindowShareTest, AShareCompletesWithOpenGLOffAndOn) {
  struct Case {
    const char* name;
    RunningShare::Environment environment;
  };
  // With OpenGL on, the toolkit sets it up when it opens the X display; the sheet is drawn
  // without it. Mesa's X11 driver, unloaded when the display closes, leaves allocations that
  // LeakSanitizer can no longer name, nor a suppression match: leaks go unchecked in that run.
  const Case cases[] = {
      {"OpenGL off", {{"GDK_DEBUG", "gl-disable"}, {"GSK_RENDERER", ""}}},
      {"OpenGL on",
       {{"GDK_DEBUG", ""},
        {"GSK_RENDERER", ""},
        {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}}},
  };
  makeInbox();
  const std::string data = "ID3 a short recording";
  std::size_t shares = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path recording = folder() / (std::string(c.name) + ".mp3");
    testing_support::writeFile(recording, data);
    const auto share = startShare({recording.string()}, c.environment);
    share->closeInput();
    ASSERT_EQ(share->waitForExit(60s), 0) << share->errors();
    const auto starts = opened(++shares);
    ASSERT_EQ(starts.size(), shares);
    ASSERT_EQ(starts.back().files.size(), 1u);
    EXPECT_EQ(testing_support::readFile(starts.back().files[0]), data);
    EXPECT_TRUE(testDisplay()->windowsTitled("KelpWord", share->pid()).empty());
  }
}

TEST_F(WindowShareTest, WithoutAWindowTheSheetIsPrintedAsBefore) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    RunningShare::Environment environment;
  };
  const Case cases[] = {
      {"--no-window", {"--no-window"}, {}},
      // No server listens there: GTK cannot open it.
      {"a display that does not open", {}, {{"DISPLAY", ":9999"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto share = startShare(c.arguments, c.environment);
    // The end of input presses the default button of a printed sheet.
    share->closeInput();
    EXPECT_EQ(share->waitForExit(30s), 1) << share->errors();
    EXPECT_EQ(share->output(), sending + "\n" + openFirst + "\n");
  }
}

}  // namespace
}  // namespace window_test
