// kelpword-share's sheet as a screen reader finds it, confined as it runs: through the
// accessibility bus of a session of the test's own, on an X server and on a Wayland compositor.
// The reader finds the window, reads the status line or the failure's message and, during a long
// copy, the progress bar; it presses Close through its action, which cancels the share as Close
// does.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/SlowDisk.hpp"
#include "tests/window/RunningShare.hpp"
#include "tests/window/ScreenReaderSession.hpp"
#include "tests/window/WindowTestEnvironment.hpp"

namespace window_test {
namespace {

using namespace std::chrono_literals;

const std::string sending = "Sending to KelpWord\u2026";
const std::string openFirst =
    "Open KelpWord once first, so it can receive recordings. Then share the recording again.";

struct Display {
  const char* name;
  bool wayland;
};
constexpr Display displays[] = {{"X11", false}, {"Wayland", true}};

class ScreenReaderTest : public e2e::ShareExtensionTest {
 protected:
  void SetUp() override {
    e2e::ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    std::string whyNot;
    session_ = ScreenReaderSession::start(folder() / "screen-reader", whyNot);
    if (!session_) GTEST_SKIP() << whyNot;
  }

  void TearDown() override { session_.reset(); }

  bool shows(const Display& display) const {
    return display.wayland ? testCompositor() != nullptr : testDisplay() != nullptr;
  }

  // The build's kelpword-share, confined, on `display` and the screen reader's session, with
  // GTK's accessibility as a desktop has it.
  std::unique_ptr<RunningShare> startShare(const Display& display,
                                           const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{KELPWORD_SHARE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto environment = this->environment();
    if (display.wayland) {
      for (const auto& entry : testCompositor()->environment()) environment.push_back(entry);
      for (auto& entry : toolkitHome(folder() / "toolkit")) environment.push_back(entry);
    } else {
      for (auto& entry : toolkitEnvironment(folder() / "toolkit")) environment.push_back(entry);
    }
    environment.emplace_back("DBUS_SESSION_BUS_ADDRESS", session_->address());
    environment.emplace_back("GSK_RENDERER", "cairo");
    std::vector<std::string> unset{"GTK_A11Y", display.wayland ? "DISPLAY" : "WAYLAND_DISPLAY"};
    return std::make_unique<RunningShare>(argv, environment, unset, folder());
  }

  std::unique_ptr<ScreenReaderSession> session_;
};

TEST_F(ScreenReaderTest, TheFailureIsReadAndCloseIsPressedThroughItsAction) {
  for (const auto& display : displays) {
    SCOPED_TRACE(display.name);
    if (!shows(display)) continue;
    const auto share = startShare(display, {});
    share->closeInput();

    const auto read = session_->read(share->pid());
    ASSERT_EQ(read.exitStatus, 0) << read.err << share->errors();
    EXPECT_NE(read.out.find("frame: KelpWord\n"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("label: " + openFirst + "\n"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("button: Close\n"), std::string::npos) << read.out;

    const auto pressed = session_->press(share->pid());
    EXPECT_EQ(pressed.exitStatus, 0) << pressed.err;
    EXPECT_EQ(share->waitForExit(30s), 1) << "Close cancels the share";
    EXPECT_EQ(share->errors(), "") << "no toolkit warning, the accessibility bus included";
  }
}

TEST_F(ScreenReaderTest, TheStatusLineIsReadWhileTheShareIsUnderWay) {
  makeInbox();
  for (const auto& display : displays) {
    SCOPED_TRACE(display.name);
    if (!shows(display)) continue;
    const auto share = startShare(display, {"--type", "public.mp3", "--name", "Interview", "-"});

    const auto read = session_->read(share->pid());
    ASSERT_EQ(read.exitStatus, 0) << read.err << share->errors();
    EXPECT_NE(read.out.find("label: " + sending + "\n"), std::string::npos) << read.out;
    EXPECT_EQ(read.out.find("button:"), std::string::npos) << read.out << share->errors();

    share->write("ID3 a recording");
    share->closeInput();
    EXPECT_EQ(share->waitForExit(30s), 0) << share->errors();
    EXPECT_EQ(share->errors(), "");
  }
  EXPECT_EQ(opened().size(), (testDisplay() ? 1u : 0u) + (testCompositor() ? 1u : 0u));
}

TEST_F(ScreenReaderTest, ALongCopyShowsHowFarItHasComeAsAProgressBar) {
  const testing_support::SlowDisk disk(folder() / "slow.img", folder() / "slow");
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  makeInbox();
  for (const auto& display : displays) {
    SCOPED_TRACE(display.name);
    if (!shows(display)) continue;
    disk.enter();
    const auto share = startShare(display, {disk.recording().string()});
    disk.leave();

    const auto read = session_->progress(share->pid());
    ASSERT_EQ(read.exitStatus, 0) << read.err << share->errors();
    double value = -1;
    double maximum = -1;
    ASSERT_EQ(std::sscanf(read.out.c_str(), "progress bar: %lf of %lf", &value, &maximum), 2)
        << read.out;
    EXPECT_GT(value, 0) << "the copy has begun";
    EXPECT_LT(value, maximum) << "and is far from done on a slow disk";

    ::kill(share->pid(), SIGTERM);
    EXPECT_EQ(share->waitForExit(30s), 1) << "ends as cancelled" << share->errors();
  }
}

}  // namespace
}  // namespace window_test
