// A long recording on a slow disk: the share shows how far the copy has come, and ends at once
// when interrupted, the copy cut short and nothing of it left behind.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/E2eFixture.hpp"
#include "tests/e2e/LiveShare.hpp"
#include "tests/support/Promptly.hpp"
#include "tests/support/SlowDisk.hpp"
#include "tests/support/Terminal.hpp"
#include "tests/support/WaitUntil.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

using testing_support::promptly;
using testing_support::SlowDisk;

// What lies in the test's folder, $TMPDIR of the share, beyond what the test made itself.
std::vector<std::string> leftBehind(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name != "home" && name != "data-home" && name != "data-dirs" && name != "passwd" &&
        name != "group" && name != "slow.img" && name != "slow") {
      names.push_back(name);
    }
  }
  return names;
}

class LongCopyTest : public ShareExtensionTest {
 protected:
  void SetUp() override {
    ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    disk_.emplace(folder() / "slow.img", folder() / "slow");
    if (!disk_->ok()) GTEST_SKIP() << disk_->why();
    makeInbox();
  }
  void TearDown() override { disk_.reset(); }

  const SlowDisk& disk() const { return *disk_; }

 private:
  std::optional<SlowDisk> disk_;
};

TEST_F(LongCopyTest, AnInterruptionDuringTheCopyEndsTheShareWithinASecondLeavingNothing) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::sigabbrev_np(signal));
    fs::remove_all(inbox());
    makeInbox();
    disk().enter();
    LiveShare share({disk().recording().string()}, environment());
    disk().leave();
    ASSERT_TRUE(share.started());
    share.readUntil(sending, seconds(10));
    ASSERT_TRUE(testing_support::waitUntil(
        [&] { return SlowDisk::bytesReadBy(share.pid()) > (std::uint64_t{1} << 20); },
        milliseconds(10000)))
        << "the copy is under way, and slow";

    const auto interrupted = std::chrono::steady_clock::now();
    share.signalGroup(signal);
    const int status = share.wait();
    const auto took = std::chrono::steady_clock::now() - interrupted;

    EXPECT_EQ(status, 1) << "ends as cancelled";
    EXPECT_LT(took, promptly);
    EXPECT_EQ(leftBehind(folder()), std::vector<std::string>{});
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(fs::is_empty(folders[0])) << "nothing, hidden or not, in the per-share folder";
  }
  EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
}

TEST_F(LongCopyTest, TheTerminalSheetShowsHowFarTheCopyHasCome) {
  testing_support::TerminalOptions options;
  options.environment = environment();
  disk().enter();
  const auto program =
      testing_support::startOnTerminal({KELPWORD_SHARE, disk().recording().string()}, options);
  disk().leave();

  std::string seen;
  testing_support::readTerminalUntil(program.terminal, seen, "MiB/s");
  ::kill(-program.pid, SIGTERM);
  ::waitpid(program.pid, nullptr, 0);
  ::close(program.terminal);

  EXPECT_NE(seen.find("Sending to KelpWord"), std::string::npos) << seen;
  // "0 % — 12.0 MiB of 4.0 GiB, 4.0 MiB/s", the status line kept above it.
  EXPECT_NE(seen.find(" % \u2014 "), std::string::npos) << seen;
  EXPECT_NE(seen.find(" of 4.0 GiB, "), std::string::npos) << seen;
  EXPECT_NE(seen.find("MiB/s"), std::string::npos) << seen;
}

TEST_F(LongCopyTest, PrintedLinesShowNoProgress) {
  disk().enter();
  LiveShare share({disk().recording().string()}, environment());
  disk().leave();
  ASSERT_TRUE(share.started());
  // Long enough for several updates of a terminal sheet.
  ASSERT_TRUE(testing_support::waitUntil(
      [&] { return SlowDisk::bytesReadBy(share.pid()) > (std::uint64_t{8} << 20); },
      milliseconds(10000)));
  share.signalGroup(SIGINT);
  EXPECT_EQ(share.wait(), 1);
  EXPECT_EQ(share.readUntil("\n\n", seconds(1)), sending) << "all it printed, to its end";
}

}  // namespace
}  // namespace e2e
