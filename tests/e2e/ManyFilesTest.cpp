// More received files than one command line holds, every one handed over: by KelpWord's program,
// started again with the rest as often as exec's room needs, or in the one Open call over the
// session bus, which has room enough. Confined (the launch broker starts KelpWord) and
// unconfined alike.
//
// The stack limit is lowered as `ulimit -s 1024` lowers it in the user's shell: for the share
// itself, from which the launch broker and KelpWord inherit it, so that exec's room is a quarter
// of a megabyte all along the way. The share's own command line still fits: its files' paths
// are shorter than those of the received files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/Url.hpp"
#include "tests/e2e/BusStandInProcess.hpp"
#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/WaitUntil.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::writeFile;

// Runs a program with its stack limit lowered (util-linux): setrlimit, then exec.
constexpr const char* prlimit = "/usr/bin/prlimit";
constexpr const char* oneMebibyteStack = "--stack=1048576";

// How the share runs: confined where the kernel has Landlock, or as on a kernel without it.
struct Mode {
  const char* name;
  bool confined;
};
constexpr Mode kModes[] = {{"confined", true}, {"unconfined", false}};

// Where the share finds KelpWord when it does not run: the bundle that holds the extension, or
// its desktop entry, whose Exec line has %F.
struct Application {
  const char* name;
  bool desktopEntry;
};
constexpr Application kApplications[] = {{"the bundle", false}, {"a desktop entry with %F", true}};

class ManyFilesTest : public ShareExtensionTest {
 protected:
  // `count` tiny recordings to share, named in the order they are shared.
  std::vector<std::string> makeRecordings(std::size_t count) const {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
      std::string name = std::to_string(i);
      name.insert(0, name.size() < 5 ? 5 - name.size() : 0, '0');  // in order as text, too
      paths.push_back((folder() / "s" / (name + ".wav")).string());
      writeFile(paths.back(), "a");
    }
    return paths;
  }

  // Where the share should have put `shared`, in order.
  std::vector<std::string> received(const std::vector<std::string>& shared) const {
    const auto folders = shareFolders();
    if (folders.size() != 1) return {"one share folder"};
    std::vector<std::string> paths;
    paths.reserve(shared.size());
    for (const auto& path : shared)
      paths.push_back((folders[0] / fs::path(path).filename()).string());
    return paths;
  }

  // The share of `files` by `program`, in `mode`, behind the command words `wrapper`.
  testing_support::ProcessResult shareIn(const Mode& mode, std::vector<std::string> wrapper,
                                         const fs::path& program,
                                         const std::vector<std::string>& files) const {
    if (!mode.confined) wrapper.emplace_back(WITHOUT_LANDLOCK);
    wrapper.push_back(program.string());
    wrapper.insert(wrapper.end(), files.begin(), files.end());
    const fs::path first = wrapper.front();
    wrapper.erase(wrapper.begin());
    return share(wrapper, "", first);
  }

  void clear() const {
    fs::remove_all(inbox());
    fs::remove(folder() / "opened.txt");
    makeInbox();
  }
};

TEST_F(ManyFilesTest, KelpWordsProgramIsStartedAgainWithTheRestInOrderUntilEveryFileIsOpened) {
  if (!fs::exists(prlimit)) GTEST_SKIP() << "prlimit (util-linux) is not installed";
  // About 1.5 MB of received paths against a room of 0.25 MB: six starts or so. The share's own
  // command line must fit that room too: it names the recordings from the folder it runs in.
  const auto recordings = makeRecordings(10'000);
  std::vector<std::string> shared;
  for (const auto& path : recordings) shared.push_back(fs::relative(path, folder()).string());
  const std::vector<std::string> inFolderWithSmallStack{
      "/bin/sh",        "-c", "cd \"$0\" && exec \"$@\"", folder().string(), prlimit,
      oneMebibyteStack, "--"};
  const fs::path loose = placeExtension(folder() / "Loose");
  writeFile(applications() / "com.brenvik.kelpword.desktop",
            "[Desktop Entry]\nType=Application\nName=KelpWord\nExec=" +
                std::string(KELPWORD_STAND_IN) + " %F\n");
  for (const auto& application : kApplications) {
    for (const auto& mode : kModes) {
      SCOPED_TRACE(std::string(application.name) + ", " + mode.name);
      clear();

      const auto result =
          shareIn(mode, inFolderWithSmallStack,
                  application.desktopEntry ? loose : fs::path(KELPWORD_SHARE), shared);

      EXPECT_EQ(result.exitStatus, 0) << result.err;
      EXPECT_EQ(result.out, sending);
      opened();
      auto starts = opened(0);  // all of them, now that every one has ended
      EXPECT_GE(starts.size(), 5u);
      // The starts run side by side, and record in whichever order they end.
      std::sort(starts.begin(), starts.end(),
                [](const Opened& a, const Opened& b) { return a.files < b.files; });
      std::vector<std::string> files;
      for (const auto& start : starts) {
        EXPECT_EQ(start.program, KELPWORD_STAND_IN);
        EXPECT_FALSE(start.files.empty());
        files.insert(files.end(), start.files.begin(), start.files.end());
      }
      EXPECT_TRUE(files == received(shared)) << files.size() << " files handed over";
    }
  }
}

TEST_F(ManyFilesTest, TenThousandFilesGoInTheOneOpenCallOverTheBus) {
  if (!testing_support::privateBusAvailable()) GTEST_SKIP() << "dbus-daemon is not installed";
  const auto shared = makeRecordings(10'000);
  const fs::path record = folder() / "bus-calls.txt";
  for (const auto& mode : kModes) {
    SCOPED_TRACE(mode.name);
    clear();
    fs::remove(record);
    fs::remove(record.string() + ".ready");
    const testing_support::PrivateBus bus(folder() / (std::string("bus-") + mode.name));
    addEnvironment("DBUS_SESSION_BUS_ADDRESS", bus.address());
    // KelpWord runs, and owns its name on the bus.
    std::optional<BusStandInProcess> standIn(std::in_place, bus.address(), record);
    const bool owned = standIn->ownsTheName();

    const auto result =
        owned ? shareIn(mode, {}, KELPWORD_SHARE, shared) : testing_support::ProcessResult{};
    standIn.reset();

    ASSERT_TRUE(owned) << "the bus stand-in never owned its name";
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, sending);
    std::istringstream text(testing_support::readFile(record));
    std::vector<std::string> uris;
    int calls = 0;
    for (std::string line; std::getline(text, line);) {
      if (line == "open") ++calls;
      if (line.starts_with("uri: ")) uris.push_back(line.substr(5));
    }
    EXPECT_EQ(calls, 1);
    std::vector<std::string> expected;
    for (const auto& path : received(shared)) {
      expected.push_back(platform::Url::fileURL(path, false).absoluteString());
    }
    EXPECT_TRUE(uris == expected) << uris.size() << " files handed over";
    EXPECT_FALSE(fs::exists(folder() / "opened.txt")) << "no program was started";
  }
}

}  // namespace
}  // namespace e2e
