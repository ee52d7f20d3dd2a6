// A share that is still under way: what the sheet shows while standard input is read, and what
// an interruption (Ctrl-C, a closed terminal, a polite kill) leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/E2eFixture.hpp"
#include "tests/e2e/LiveShare.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// What lies in the test's folder, $TMPDIR of the share, beyond what the test made itself.
std::vector<std::string> leftBehind(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name != "home" && name != "data-home" && name != "data-dirs" && name != "passwd" &&
        name != "group") {
      names.push_back(name);
    }
  }
  return names;
}

TEST_F(ShareExtensionTest, WhileStandardInputIsReadTheStatusIsShown) {
  makeInbox();
  LiveShare share({"--type", "public.mp3", "--name", "Live", "-"}, environment());
  ASSERT_TRUE(share.started());
  share.write("the first part, ");

  EXPECT_EQ(share.readUntil(sending, std::chrono::seconds(10)), sending)
      << "shown before the input ends";
  share.write("then the rest");
  share.closeInput();
  EXPECT_EQ(share.wait(), 0);
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(testing_support::readFile(folders[0] / "Live.mp3"), "the first part, then the rest");
  opened();
}

TEST_F(ShareExtensionTest, AnInterruptionCancelsTheShareAndLeavesNoTemporaryData) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::sigabbrev_np(signal));  // "INT": strsignal is not thread-safe
    fs::remove_all(inbox());
    makeInbox();
    LiveShare share({"--type", "public.mp3", "-"}, environment());
    ASSERT_TRUE(share.started());
    share.write(std::string(std::size_t{32} * 1024, 'r'));  // within a pipe's buffer
    share.readUntil(sending, std::chrono::seconds(10));

    share.signalGroup(signal);

    EXPECT_EQ(share.wait(), 1) << "ends as cancelled";
    EXPECT_EQ(leftBehind(folder()), std::vector<std::string>{});
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(fs::is_empty(folders[0])) << "nothing, hidden or not, in the per-share folder";
  }
  EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
}

}  // namespace
}  // namespace e2e
