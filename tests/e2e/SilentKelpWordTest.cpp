// A KelpWord that owns its name on the session bus and never answers: the share waits for it no
// longer than the bus's usual limit, an interruption ends the wait at once, and either way the
// share leaves no process and no temporary folder behind.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "platform/app/sandbox/Confinement.hpp"
#include "tests/e2e/BusStandInProcess.hpp"
#include "tests/e2e/E2eFixture.hpp"
#include "tests/e2e/LiveShare.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/Promptly.hpp"
#include "tests/support/WaitUntil.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing_support::readFile;
using testing_support::writeFile;

class SilentKelpWordTest : public ShareExtensionTest {
 protected:
  void SetUp() override {
    ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    if (!testing_support::privateBusAvailable()) GTEST_SKIP() << "dbus-daemon is not installed";
    if (platform::landlock::abiVersion() == 0) GTEST_SKIP() << "this kernel offers no Landlock";
    writeFile(folder() / "Interview.m4a", "recording");
    bus_.emplace(folder() / "bus");
    addEnvironment("DBUS_SESSION_BUS_ADDRESS", bus_->address());
    standIn_.emplace(bus_->address(), record(), "--silent");
    ASSERT_TRUE(standIn_->ownsTheName()) << "the bus stand-in never owned its name";
  }

  fs::path record() const { return folder() / "bus-calls.txt"; }

  bool openWasCalled() const {
    return fs::exists(record()) && readFile(record()).starts_with("open\n");
  }

  // The temporary folders of the share and its sandbox that are still there, after giving their
  // owners a few seconds to go.
  std::vector<std::string> temporaryFoldersLeft() const {
    std::vector<std::string> left;
    testing_support::waitUntil(
        [&] {
          left.clear();
          for (const auto& entry : fs::directory_iterator(folder())) {
            const auto name = entry.path().filename().string();
            if (name.starts_with("kelpword-share.") || name.starts_with("share-extension.") ||
                name.starts_with("item-provider-")) {
              left.push_back(name);
            }
          }
          return left.empty();
        },
        std::chrono::seconds(5));
    return left;
  }

  std::optional<testing_support::PrivateBus> bus_;
  std::optional<BusStandInProcess> standIn_;
};

// At once: within two seconds, or longer for a sanitizer's program, slower to end.
constexpr auto atOnce = std::chrono::seconds(testing_support::sanitized ? 5 : 2);

bool hasEnded(pid_t pid) {
  return testing_support::waitUntil([&] { return ::kill(pid, 0) != 0; }, std::chrono::seconds(5));
}

TEST_F(SilentKelpWordTest, AnInterruptionEndsTheWaitAtOnceAndLeavesNothingBehind) {
  makeInbox();
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::sigabbrev_np(signal));
    fs::remove(record());
    LiveShare share({(folder() / "Interview.m4a").string()}, environment());
    ASSERT_TRUE(share.started());
    const auto children = share.children();  // the launch broker
    ASSERT_EQ(children.size(), 1u);
    ASSERT_TRUE(
        testing_support::waitUntil([&] { return openWasCalled(); }, std::chrono::seconds(30)))
        << "the share never asked KelpWord";

    const auto interrupted = Clock::now();
    share.signalGroup(signal);

    EXPECT_EQ(share.wait(), 1) << "ends as cancelled";
    EXPECT_LT(Clock::now() - interrupted, atOnce);
    EXPECT_TRUE(hasEnded(children.front())) << "the broker still runs";
    EXPECT_EQ(temporaryFoldersLeft(), std::vector<std::string>{});
  }
}

// The bus's usual limit is 25 seconds: the share waits that long, then fails as any hand-off
// that KelpWord did not take.
TEST_F(SilentKelpWordTest, NoAnswerWithinTheTimeLimitIsTheHandOffFailure) {
  makeInbox();
  const auto started = Clock::now();

  const auto result = share({(folder() / "Interview.m4a").string()});

  const auto waited = Clock::now() - started;
  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_EQ(result.out, sending + handOffFailed);
  EXPECT_TRUE(openWasCalled());
  EXPECT_GE(waited, std::chrono::seconds(24));
  EXPECT_LT(waited, std::chrono::seconds(40));
  EXPECT_EQ(temporaryFoldersLeft(), std::vector<std::string>{});
}

}  // namespace
}  // namespace e2e
