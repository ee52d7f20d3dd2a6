// The hand-off over the session bus, as a desktop makes it: a KelpWord that owns its name on the
// bus, or that the bus starts from its service file, gets all received files in one
// org.freedesktop.Application.Open call, with the activation token of the click that shared
// them; an error in answer is the hand-off failure. Confined and unconfined alike: confined, the
// launch broker makes the call.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <sstream>
#include <utility>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/Url.hpp"
#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/WaitUntil.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

// How the share runs: confined where the kernel has Landlock, or as on a kernel without it.
struct Mode {
  const char* name;
  bool confined;
};
constexpr Mode kModes[] = {{"confined", true}, {"unconfined", false}};

class BusHandOffTest : public ShareExtensionTest {
 protected:
  void SetUp() override {
    ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    if (!testing_support::privateBusAvailable()) GTEST_SKIP() << "dbus-daemon is not installed";
    addEnvironment("XDG_ACTIVATION_TOKEN", "token-of-the-click");
    addEnvironment("DESKTOP_STARTUP_ID", "startup-of-the-click");
    writeFile(folder() / "b.mp3", "b");
    writeFile(folder() / "a.wav", "a");
  }

  void TearDown() override { stopStandIn(); }

  // A fresh world for one mode: an empty inbox and record, and a bus of its own.
  void begin(const Mode& mode) {
    stopStandIn();
    bus_.reset();
    fs::remove_all(inbox());
    fs::remove(record());
    fs::remove(fs::path(record().string() + ".ready"));
    makeInbox();
    bus_.emplace(folder() / (std::string("bus-") + mode.name));
    addEnvironment("DBUS_SESSION_BUS_ADDRESS", bus_->address());
  }

  // Runs the share of `program` (an extension placed by the test, or the build's) in `mode`.
  testing_support::ProcessResult shareIn(const Mode& mode, std::vector<std::string> arguments,
                                         const fs::path& program = KELPWORD_SHARE) {
    if (mode.confined) return share(arguments, "", program);
    arguments.insert(arguments.begin(), program.string());
    return share(arguments, "", WITHOUT_LANDLOCK);
  }

  // Starts the bus stand-in as a running KelpWord and returns once it owns its name.
  void startStandIn(bool failing = false) {
    standIn_ = ::fork();
    ASSERT_GE(standIn_, 0);
    if (standIn_ == 0) {
      // NOLINTNEXTLINE(concurrency-mt-unsafe): the forked child has one thread
      ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
      const std::string recordPath = record().string();
      ::execl(KELPWORD_BUS_STAND_IN, KELPWORD_BUS_STAND_IN, recordPath.c_str(),
              failing ? "--fail" : nullptr, nullptr);
      ::_exit(127);
    }
    const fs::path ready = record().string() + ".ready";
    ASSERT_TRUE(
        testing_support::waitUntil([&] { return fs::exists(ready); }, std::chrono::seconds(20)))
        << "the bus stand-in never owned its name";
  }

  void stopStandIn() {
    if (standIn_ <= 0) return;
    testing_support::endChild(std::exchange(standIn_, -1), SIGTERM);
  }

  fs::path record() const { return folder() / "bus-calls.txt"; }

  // The calls the bus stand-ins recorded, each as its lines.
  std::vector<std::vector<std::string>> calls() const {
    std::vector<std::vector<std::string>> calls;
    if (!fs::exists(record())) return calls;
    std::istringstream text(readFile(record()));
    std::vector<std::string> current;
    for (std::string line; std::getline(text, line);) {
      if (!line.empty()) {
        current.push_back(line);
        continue;
      }
      calls.push_back(std::exchange(current, {}));
    }
    return calls;
  }

  // The Open call the share should make for the received files named, in that order.
  std::vector<std::string> expectedCall(const std::vector<std::string>& names) const {
    std::vector<std::string> lines{"open"};
    const auto folders = shareFolders();
    if (folders.size() != 1) return {"one share folder"};
    for (const auto& name : names) {
      lines.push_back("uri: " +
                      platform::Url::fileURL((folders[0] / name).string(), false).absoluteString());
    }
    lines.emplace_back("activation-token: token-of-the-click");
    lines.emplace_back("desktop-startup-id: startup-of-the-click");
    return lines;
  }

  std::optional<testing_support::PrivateBus> bus_;
  pid_t standIn_ = -1;
};

TEST_F(BusHandOffTest, ARunningKelpWordReceivesAllFilesInOneOpenCall) {
  for (const auto& mode : kModes) {
    SCOPED_TRACE(mode.name);
    begin(mode);
    startStandIn();

    const auto result =
        shareIn(mode, {(folder() / "b.mp3").string(), (folder() / "a.wav").string()});

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, sending);
    const auto made = calls();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0], expectedCall({"b.mp3", "a.wav"}));
    EXPECT_FALSE(fs::exists(folder() / "opened.txt")) << "no program was started";
  }
}

TEST_F(BusHandOffTest, AKelpWordThatDoesNotRunIsStartedByTheBusFromItsServiceFile) {
  // Away from the demonstration bundle the share finds KelpWord's desktop entry, which says it
  // is D-Bus activatable; the bus starts the stand-in from the service file.
  const fs::path program = placeExtension(folder() / "Loose");
  writeFile(applications() / "com.brenvik.kelpword.desktop",
            "[Desktop Entry]\nType=Application\nName=KelpWord\nExec=" +
                std::string(KELPWORD_STAND_IN) + " %F\nDBusActivatable=true\n");
  for (const auto& mode : kModes) {
    SCOPED_TRACE(mode.name);
    begin(mode);
    bus_->addService("com.brenvik.kelpword",
                     std::string(KELPWORD_BUS_STAND_IN) + " " + record().string());

    const auto result = shareIn(mode, {(folder() / "b.mp3").string()}, program);

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, sending);
    const auto made = calls();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0], expectedCall({"b.mp3"}));
    EXPECT_FALSE(fs::exists(folder() / "opened.txt")) << "the Exec line was not used";
  }
}

TEST_F(BusHandOffTest, AnErrorInAnswerIsTheHandOffFailure) {
  for (const auto& mode : kModes) {
    SCOPED_TRACE(mode.name);
    begin(mode);
    startStandIn(/*failing=*/true);

    const auto result = shareIn(mode, {(folder() / "b.mp3").string()});

    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_EQ(result.out, sending + handOffFailed);
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
  }
}

}  // namespace
}  // namespace e2e
