// Where the extension finds KelpWord, each way for real: a running instance, the application
// bundle that carries the extension, the installed application's desktop entry, and the
// fallback.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/app/workspace/ProgramLauncher.hpp"
#include "platform/app/workspace/RunningApplication.hpp"
#include "tests/e2e/BusStandInProcess.hpp"
#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/PrivateBus.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::writeFile;

class KelpWordLookupTest : public ShareExtensionTest {
 protected:
  void SetUp() override {
    ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    makeInbox();
    writeFile(folder() / "Interview.m4a", "recording");
  }

  // Shares Interview.m4a with the extension at `extension` and returns the program that was
  // started for it.
  std::string programOpenedBy(const fs::path& extension,
                              const std::function<void()>& beforeLooking = {}) {
    const auto result = share({(folder() / "Interview.m4a").string()}, "", extension);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    if (beforeLooking) beforeLooking();
    const auto starts = opened();
    if (starts.size() != 1) {
      ADD_FAILURE() << starts.size() << " starts recorded";
      return "";
    }
    EXPECT_EQ(starts[0].files.size(), 1u);
    return starts[0].program;
  }

  // Installs KelpWord as a desktop entry whose program is a stand-in elsewhere.
  fs::path installDesktopEntry() {
    const fs::path program = folder() / "installed/bin/kelpword";
    fs::create_directories(program.parent_path());
    fs::copy_file(KELPWORD_STAND_IN, program);
    writeFile(
        applications() / "com.brenvik.kelpword.desktop",
        "[Desktop Entry]\nType=Application\nName=KelpWord\nExec=\"" + program.string() + "\" %F\n");
    return program;
  }
};

TEST_F(KelpWordLookupTest, ALiveRunningInstanceIsUsedWhereverTheExtensionLies) {
  makeBundle(folder() / "Running/KelpWord.app", "com.brenvik.kelpword");
  makeBundle(folder() / "Carrier.app", "com.brenvik.kelpword");
  const auto extension = placeExtension(folder() / "Carrier.app");
  installDesktopEntry();
  const pid_t running = platform::startProgram(
      {(folder() / "Running/KelpWord.app/Contents/MacOS/KelpWord").string(), "--stay"});

  const auto program = programOpenedBy(extension, [&] { ::kill(running, SIGKILL); });

  EXPECT_EQ(program, (folder() / "Running/KelpWord.app/Contents/MacOS/KelpWord").string());
}

TEST_F(KelpWordLookupTest, ATerminatedInstanceIsIgnored) {
  makeBundle(folder() / "Ended/KelpWord.app", "com.brenvik.kelpword");
  makeBundle(folder() / "Carrier.app", "com.brenvik.kelpword");
  const auto extension = placeExtension(folder() / "Carrier.app");
  // Ended but not collected: a zombie of the Ended bundle's program.
  const std::string ended = (folder() / "Ended/KelpWord.app/Contents/MacOS/KelpWord").string();
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl(ended.c_str(), ended.c_str(), "--stay", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  // Killed once it runs the Ended bundle's program, so that it truly was an instance.
  for (int tries = 0; tries < 500; ++tries) {
    const auto instance = platform::RunningApplication::withProcessIdentifier(child);
    if (instance && instance->executableURL() && instance->executableURL()->path() == ended) break;
    ::usleep(10000);
  }
  ::kill(child, SIGKILL);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);

  const auto program = programOpenedBy(extension);

  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(program, (folder() / "Carrier.app/Contents/MacOS/KelpWord").string());
}

TEST_F(KelpWordLookupTest, TheAppThreeLevelsAboveTheExtensionIsUsedWithoutAskingTheWorkspace) {
  makeBundle(folder() / "Carrier.app", "com.brenvik.kelpword");
  const auto extension = placeExtension(folder() / "Carrier.app");
  installDesktopEntry();

  EXPECT_EQ(programOpenedBy(extension),
            (folder() / "Carrier.app/Contents/MacOS/KelpWord").string());
}

TEST_F(KelpWordLookupTest, WithoutAnAppAboveTheInstalledApplicationIsUsed) {
  // The extension only in an .APP (the extension is compared with its letter case) or in a folder
  // without extension: the desktop entry's program is started.
  for (const char* carrier : {"Carrier.APP", "Carrier"}) {
    SCOPED_TRACE(carrier);
    makeBundle(folder() / carrier, "com.brenvik.kelpword");
    const auto extension = placeExtension(folder() / carrier);
    const auto installed = installDesktopEntry();

    EXPECT_EQ(programOpenedBy(extension), installed.string());

    fs::remove_all(folder() / carrier);
    fs::remove_all(folder() / "installed");
    fs::remove(folder() / "opened.txt");
  }
}

TEST_F(KelpWordLookupTest, WithNothingFoundTheLocationThreeLevelsUpIsOpenedAllTheSame) {
  makeBundle(folder() / "Carrier.APP", "com.brenvik.kelpword");
  const auto extension = placeExtension(folder() / "Carrier.APP");

  EXPECT_EQ(programOpenedBy(extension),
            (folder() / "Carrier.APP/Contents/MacOS/KelpWord").string());
}

// A KelpWord that runs outside any bundle, known only by the name it owns on the session bus (as
// the reference application runs from a build): found first, as running instances are, and
// handed the files in one Open call, confined or not. Nothing else is there to find.
TEST_F(KelpWordLookupTest, AKelpWordOwningItsBusNameIsFoundThereWithoutABundleOrEntry) {
  if (!testing_support::privateBusAvailable()) GTEST_SKIP() << "dbus-daemon is not installed";
  const testing_support::PrivateBus bus(folder() / "bus");
  addEnvironment("DBUS_SESSION_BUS_ADDRESS", bus.address());
  const fs::path record = folder() / "bus-calls.txt";
  const BusStandInProcess standIn(bus.address(), record);
  ASSERT_TRUE(standIn.ownsTheName());
  const auto extension = placeExtension(folder() / "Loose");

  for (const bool confined : {true, false}) {
    SCOPED_TRACE(confined ? "confined" : "unconfined");
    fs::remove(record);
    std::vector<std::string> arguments{(folder() / "Interview.m4a").string()};
    if (!confined) arguments.insert(arguments.begin(), extension.string());
    const auto result = share(arguments, "", confined ? extension : fs::path(WITHOUT_LANDLOCK));

    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    const std::string calls = fs::exists(record) ? testing_support::readFile(record) : "";
    EXPECT_TRUE(calls.starts_with("open\nuri: file://")) << calls;
    EXPECT_NE(calls.find("/Interview.m4a\n"), std::string::npos) << calls;
    EXPECT_FALSE(fs::exists(folder() / "opened.txt")) << "no program was started";
  }
}

}  // namespace
}  // namespace e2e
