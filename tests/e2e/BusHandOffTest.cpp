// The hand-off over the session bus, as a desktop makes it: a KelpWord that owns its name on the
// bus, or that the bus starts from its service file, gets all received files in one
// org.freedesktop.Application.Open call, with the activation token of the click that shared
// them; an error in answer, or none within the bus's time limit, is the hand-off failure. A
// KelpWord that neither runs nor can be started by the bus is started by its program. Confined
// and unconfined alike: confined, the launch broker makes the call.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/Url.hpp"
#include "platform/app/workspace/ApplicationBus.hpp"
#include "tests/e2e/BusStandInProcess.hpp"
#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/WaitUntil.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using Bus = testing_support::PrivateBus;
using std::chrono::seconds;
using std::chrono::steady_clock;
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
  void begin(const Mode& mode, Bus::Configuration configuration = Bus::Configuration::ofItsOwn) {
    stopStandIn();
    bus_.reset();
    fs::remove_all(inbox());
    fs::remove(record());
    fs::remove(fs::path(record().string() + ".ready"));
    makeInbox();
    const fs::path busFolder = folder() / (std::string("bus-") + mode.name);
    fs::remove_all(busFolder);
    bus_.emplace(busFolder, configuration);
    addEnvironment("DBUS_SESSION_BUS_ADDRESS", bus_->address());
  }

  // Runs the share of `program` (an extension placed by the test, or the build's) in `mode`.
  testing_support::ProcessResult shareIn(const Mode& mode, std::vector<std::string> arguments,
                                         const fs::path& program = KELPWORD_SHARE) {
    if (mode.confined) return share(arguments, "", program);
    arguments.insert(arguments.begin(), program.string());
    return share(arguments, "", WITHOUT_LANDLOCK);
  }

  // Starts the bus stand-in as a running KelpWord, answering as `answer` (an option of
  // kelpword-bus-stand-in) says, and returns once it owns its name.
  void startStandIn(const char* answer = nullptr) {
    standIn_.emplace(bus_->address(), record(), answer);
    ASSERT_TRUE(standIn_->ownsTheName()) << "the bus stand-in never owned its name";
  }

  void stopStandIn() { standIn_.reset(); }

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

  // KelpWord's desktop entry, in the data folder that the share reads; with Exec, the stand-in
  // program that records how it was started.
  void installEntry(bool activatable) const {
    writeFile(
        applications() / "com.brenvik.kelpword.desktop",
        "[Desktop Entry]\nType=Application\nName=KelpWord\nExec=" + std::string(KELPWORD_STAND_IN) +
            " %F\nDBusActivatable=" + (activatable ? "true" : "false") + "\n");
  }

  // That KelpWord's program was started once, with the one received file `name`, and nothing
  // was asked over the bus.
  void expectStartedByProgram(const std::string& name) const {
    const auto starts = opened();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].program, KELPWORD_STAND_IN);
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(starts[0].files, std::vector<std::string>{(folders[0] / name).string()});
    EXPECT_TRUE(calls().empty());
  }

  std::optional<Bus> bus_;
  std::optional<BusStandInProcess> standIn_;
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
  // Whether KelpWord ran before the share or the bus started it, its error is KelpWord's: no
  // program is started in its place.
  const fs::path program = placeExtension(folder() / "Loose");
  installEntry(/*activatable=*/true);
  for (const bool startedByTheBus : {false, true}) {
    for (const auto& mode : kModes) {
      SCOPED_TRACE(std::string(mode.name) + (startedByTheBus ? ", started by the bus" : ""));
      begin(mode);
      if (startedByTheBus) {
        bus_->addService("com.brenvik.kelpword",
                         std::string(KELPWORD_BUS_STAND_IN) + " " + record().string() + " --fail");
      } else {
        startStandIn("--fail");
      }

      const auto result = shareIn(mode, {(folder() / "b.mp3").string()}, program);

      EXPECT_EQ(result.exitStatus, 1) << result.err;
      EXPECT_EQ(result.out, sending + handOffFailed);
      EXPECT_EQ(calls().size(), 1u);
      EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
    }
  }
}

TEST_F(BusHandOffTest, AKelpWordThatNeverAnswersIsTheHandOffFailureOnceTheBusTimeLimitHasPassed) {
  // The share waits the bus's own limit, as the production code has it: this test takes it.
  for (const auto& mode : kModes) {
    SCOPED_TRACE(mode.name);
    begin(mode);
    startStandIn("--silent");

    const auto start = steady_clock::now();
    const auto result = shareIn(mode, {(folder() / "b.mp3").string()});
    const auto waited = steady_clock::now() - start;

    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_EQ(result.out, sending + handOffFailed);
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
    EXPECT_GE(waited, platform::application_bus::busTimeLimit);
    EXPECT_LT(waited, platform::application_bus::busTimeLimit + seconds(20));
  }
}

TEST_F(BusHandOffTest, TheCallGivesUpWithETIMEDOUTAfterItsTimeLimit) {
  // The same wait shortened, in this process: the call made, no answer, the time-out as errno.
  begin(kModes[0]);
  startStandIn("--silent");
  // NOLINTNEXTLINE(concurrency-mt-unsafe): each test runs in a process of its own
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
  const std::vector<platform::Url> files{platform::Url::fileURL("/a.m4a", false)};

  const auto start = steady_clock::now();
  try {
    platform::application_bus::openThrough("com.brenvik.kelpword", /*activatable=*/false, files,
                                           std::chrono::milliseconds(500));
    ADD_FAILURE() << "an answer came";
  } catch (const std::system_error& failure) {
    EXPECT_EQ(failure.code().value(), ETIMEDOUT) << failure.what();
  }
  const auto waited = steady_clock::now() - start;

  EXPECT_GE(waited, std::chrono::milliseconds(500));
  EXPECT_LT(waited, seconds(10));
  EXPECT_EQ(calls().size(), 1u);
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");  // NOLINT(concurrency-mt-unsafe)
}

TEST_F(BusHandOffTest, ActivationThatFindsNothingToStartFallsBackToTheExecLine) {
  // The entry says DBusActivatable=true, KelpWord does not run, and the bus cannot start it: the
  // Exec line is there for that.
  if (fs::exists("/usr/share/dbus-1/services/com.brenvik.kelpword.service")) {
    GTEST_SKIP() << "KelpWord's service file is installed on this machine";
  }
  struct Case {
    const char* name;
    Bus::Configuration configuration;
    std::optional<std::string> service;  // the Exec line of its service file, if any
  };
  const Case cases[] = {
      {.name = "a desktop session's bus without a service file",
       .configuration = Bus::Configuration::standardSession,
       .service = std::nullopt},
      {.name = "a service whose program is missing",
       .configuration = Bus::Configuration::ofItsOwn,
       .service = (folder() / "no-such-program").string()},
      {.name = "a service that fails before it takes the name",
       .configuration = Bus::Configuration::ofItsOwn,
       .service = "/bin/false"},
  };
  const fs::path program = placeExtension(folder() / "Loose");
  installEntry(/*activatable=*/true);
  for (const auto& c : cases) {
    for (const auto& mode : kModes) {
      SCOPED_TRACE(std::string(c.name) + ", " + mode.name);
      begin(mode, c.configuration);
      fs::remove(folder() / "opened.txt");
      if (c.service) bus_->addService("com.brenvik.kelpword", *c.service);

      const auto result = shareIn(mode, {(folder() / "b.mp3").string()}, program);

      EXPECT_EQ(result.exitStatus, 0) << result.err;
      EXPECT_EQ(result.out, sending);
      expectStartedByProgram("b.mp3");
    }
  }
}

TEST_F(BusHandOffTest, AKelpWordNeitherOnTheBusNorActivatableIsStartedByItsProgram) {
  // A session bus runs, but KelpWord is not on it and the bus cannot start it.
  struct Case {
    const char* name;
    std::optional<bool> entry;  // KelpWord's desktop entry, its DBusActivatable; none: the bundle
  };
  const Case cases[] = {
      {.name = "the bundle that holds the extension", .entry = std::nullopt},
      {.name = "a desktop entry that is not D-Bus activatable", .entry = false},
  };
  for (const auto& c : cases) {
    const fs::path program =
        c.entry ? placeExtension(folder() / "Loose") : fs::path(KELPWORD_SHARE);
    if (c.entry) installEntry(*c.entry);
    for (const auto& mode : kModes) {
      SCOPED_TRACE(std::string(c.name) + ", " + mode.name);
      begin(mode);
      fs::remove(folder() / "opened.txt");

      const auto result = shareIn(mode, {(folder() / "b.mp3").string()}, program);

      EXPECT_EQ(result.exitStatus, 0) << result.err;
      EXPECT_EQ(result.out, sending);
      expectStartedByProgram("b.mp3");
    }
  }
}

}  // namespace
}  // namespace e2e
