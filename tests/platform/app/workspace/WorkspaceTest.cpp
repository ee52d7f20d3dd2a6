// Desktop entries, property lists, bundles, starting programs and finding running instances.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/app/workspace/Bundle.hpp"
#include "platform/app/workspace/DesktopEntry.hpp"
#include "platform/app/workspace/ProgramLauncher.hpp"
#include "platform/app/workspace/RunningApplication.hpp"
#include "platform/app/workspace/Workspace.hpp"
#include "tests/support/CommandLines.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/WaitUntil.hpp"

namespace workspace_test {
namespace {

namespace fs = std::filesystem;
using platform::Url;

using testing_support::argumentsOf;

struct ExecCase {
  const char* exec;
  std::vector<const char*> files;
  std::vector<std::vector<std::string>> commands;  // empty: the line is invalid
};

TEST(DesktopEntryTest, ExecLinesExpandTheirFieldCodes) {
  const ExecCase cases[] = {
      {"kw %F", {"/a b.m4a", "/c.m4a"}, {{"kw", "/a b.m4a", "/c.m4a"}}},
      {"kw %U", {"/a b.m4a"}, {{"kw", "file:///a%20b.m4a"}}},
      {"kw --one %f", {"/a.m4a", "/b.m4a"}, {{"kw", "--one", "/a.m4a"}, {"kw", "--one", "/b.m4a"}}},
      {"kw %u", {"/a.m4a", "/b.m4a"}, {{"kw", "file:///a.m4a"}, {"kw", "file:///b.m4a"}}},
      {"kw %f", {}, {{"kw"}}},
      {"kw --open=%f", {"/a.m4a"}, {{"kw", "--open=/a.m4a"}}},
      {"kw", {"/a.m4a"}, {{"kw"}}},
      {"\"/opt/Kelp Word/kw\" %F", {"/a.m4a"}, {{"/opt/Kelp Word/kw", "/a.m4a"}}},
      {"kw \"a \\\"quoted\\\" \\\\ \\$arg\" %F", {}, {{"kw", "a \"quoted\" \\ $arg"}}},
      {"kw %i %c %k 100%% %d %F",
       {"/a.m4a"},
       {{"kw", "--icon", "kelpword", "KelpWord", "/apps/kw.desktop", "100%", "/a.m4a"}}},
      {"kw\\s%F", {"/a.m4a"}, {{"kw", "/a.m4a"}}},  // \s is a space in a string value
      {"kw %x", {}, {}},
      {"kw --files=%F", {}, {}},
      {"kw %f %F", {}, {}},
      {"kw \"unclosed", {}, {}},
      {"kw %", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exec);
    const auto entry =
        platform::DesktopEntry::parse(std::string("# installed\n[Desktop Entry]\nName=KelpWord\n"
                                                  "Name[de]=KelpWort\nIcon=kelpword\nExec=") +
                                          c.exec + "\n[Desktop Action New]\nExec=other\n",
                                      Url::fileURL("/apps/kw.desktop", false));
    std::vector<Url> urls;
    for (const char* file : c.files) urls.push_back(Url::fileURL(file, false));
    if (c.commands.empty()) {
      try {
        entry.commandLines(urls);
        ADD_FAILURE() << "taken as valid";
      } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::invalid_argument);
      }
      continue;
    }
    EXPECT_EQ(argumentsOf(entry.commandLines(urls)), c.commands);
  }
}

// What `argv` takes of exec's room.
std::size_t sizeOf(const std::vector<std::string>& argv) {
  std::size_t size = sizeof(char*);
  for (const auto& argument : argv) size += platform::argumentSize(argument);
  return size;
}

struct SpreadCase {
  const char* exec;
  std::optional<std::size_t> room;  // none: just what the first command line takes
  std::vector<std::vector<std::string>> commands;
};

TEST(DesktopEntryTest, FilesBeyondTheRoomSpreadOverProgramsWithTheSameWords) {
  const SpreadCase cases[] = {
      {"kw --a %F --b",
       std::nullopt,
       {{"kw", "--a", "/1", "/2", "--b"},
        {"kw", "--a", "/3", "/4", "--b"},
        {"kw", "--a", "/5", "--b"}}},
      {"kw %i %U",
       std::nullopt,
       {{"kw", "--icon", "kelpword", "file:///1", "file:///2"},
        {"kw", "--icon", "kelpword", "file:///3", "file:///4"},
        {"kw", "--icon", "kelpword", "file:///5"}}},
      {"kw %F", 1 << 20, {{"kw", "/1", "/2", "/3", "/4", "/5"}}},
      {"kw --a=%f",
       0,
       {{"kw", "--a=/1"}, {"kw", "--a=/2"}, {"kw", "--a=/3"}, {"kw", "--a=/4"}, {"kw", "--a=/5"}}},
  };
  std::vector<Url> urls;
  for (const char* file : {"/1", "/2", "/3", "/4", "/5"}) urls.push_back(Url::fileURL(file, false));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exec);
    const auto entry = platform::DesktopEntry::parse(
        std::string("[Desktop Entry]\nIcon=kelpword\nExec=") + c.exec + "\n",
        Url::fileURL("/apps/kw.desktop", false));
    const std::size_t room = c.room.value_or(sizeOf(c.commands.front()));
    EXPECT_EQ(argumentsOf(entry.commandLines(urls, room)), c.commands);
  }
}

TEST(DesktopEntryTest, HiddenEntriesCountAsDeleted) {
  testing_support::TempFolder temp;
  testing_support::writeFile(temp / "user/applications/com.example.app.desktop",
                             "[Desktop Entry]\nExec=app %F\nHidden=true\n");
  testing_support::writeFile(temp / "system/applications/com.example.app.desktop",
                             "[Desktop Entry]\nExec=app %F\n");
  testing_support::writeFile(temp / "system/applications/com.example.other.desktop",
                             "[Desktop Entry]\nExec=o\n");
  ::setenv("XDG_DATA_HOME", (temp / "user").c_str(), 1);    // NOLINT(concurrency-mt-unsafe)
  ::setenv("XDG_DATA_DIRS", (temp / "system").c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  platform::Workspace workspace;
  EXPECT_EQ(workspace.urlForApplication("com.example.app"), std::nullopt);
  EXPECT_EQ(workspace.urlForApplication("com.example.other"),
            Url::fileURL((temp / "system/applications/com.example.other.desktop").string(), false));
  EXPECT_EQ(workspace.urlForApplication("com.example.none"), std::nullopt);
  ::unsetenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
  ::unsetenv("XDG_DATA_DIRS");  // NOLINT(concurrency-mt-unsafe)
}

TEST(PropertyListTest, StringsOfTheTopLevelDictionary) {
  const std::string plist =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE plist>\n<plist version=\"1.0\"><dict>\n"
      "<!-- <key>CFBundleIdentifier</key><string>commented.out</string> -->\n"
      "<key>Nested</key><dict><key>CFBundleExecutable</key><string>inner</string></dict>\n"
      "<key>CFBundleIdentifier</key>\n\t<string>com.brenvik.kelpword</string>\n"
      "<key>CFBundleName</key><string>Kelp &amp; Word</string>\n"
      "<key>Empty</key><string/>\n<key>Number</key><integer>3</integer>\n</dict></plist>\n";
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"CFBundleIdentifier", "com.brenvik.kelpword"},
      {"CFBundleName", "Kelp & Word"},
      {"CFBundleExecutable", std::nullopt},  // only inside a nested dictionary
      {"Empty", ""},
      {"Number", std::nullopt},
      {"Missing", std::nullopt},
  };
  for (const auto& [key, value] : cases) {
    SCOPED_TRACE(key);
    EXPECT_EQ(platform::propertyListString(plist, key), value);
  }
  EXPECT_EQ(platform::propertyListString("<plist><dict><key>A</key>", "A"), std::nullopt);
}

TEST(BundleTest, TheBundleOfAProgramIsTheFolderAboveContentsMacOS) {
  EXPECT_EQ(
      platform::Bundle::containing(Url::fileURL("/x/K.app/Contents/MacOS/k", false)).bundleURL(),
      Url::fileURL("/x/K.app", true));
  EXPECT_EQ(platform::Bundle::containing(Url::fileURL("/usr/bin/k", false)).bundleURL(),
            Url::fileURL("/usr/bin", true));
  EXPECT_EQ(platform::Bundle::containing(Url::fileURL("/x/Contents/bin/k", false)).bundleURL(),
            Url::fileURL("/x/Contents/bin", true));
}

class WorkspaceTest : public ::testing::Test {
 protected:
  // A bundle at `at` whose program is a copy of `program`.
  Url makeBundle(const std::string& name, const fs::path& program, const std::string& identifier) {
    const fs::path at = temp_ / name;
    fs::create_directories(at / "Contents/MacOS");
    fs::copy_file(program, at / "Contents/MacOS/Program");
    testing_support::writeFile(
        at / "Contents/Info.plist",
        "<plist><dict><key>CFBundleIdentifier</key><string>" + identifier +
            "</string><key>CFBundleExecutable</key><string>Program</string></dict></plist>");
    return Url::fileURL(at.string(), true);
  }

  struct Report {
    std::shared_ptr<platform::RunningApplication> application;
    std::optional<std::error_code> error;
    std::thread::id thread;
  };
  Report open(const Url& application, std::vector<Url> files) {
    std::promise<Report> reported;
    int calls = 0;
    workspace_.openURLs(std::move(files), application, {}, [&](auto app, auto error) {
      ++calls;
      reported.set_value({std::move(app), error, std::this_thread::get_id()});
    });
    auto report = reported.get_future().get();
    EXPECT_EQ(calls, 1);
    return report;
  }

  testing_support::TempFolder temp_;
  platform::Workspace workspace_;
};

TEST_F(WorkspaceTest, OpeningStartsTheBundlesProgramWithTheFilesAndReportsOnAnotherThread) {
  const Url bundle = makeBundle("App.app", KELPWORD_STAND_IN, "com.example.app");
  // NOLINTNEXTLINE(concurrency-mt-unsafe)
  ::setenv("KELPWORD_STAND_IN_RECORD", (temp_ / "record").c_str(), 1);
  const auto report =
      open(bundle, {Url::fileURL("/a b.m4a", false), Url::fileURL("/c.m4a", false)});
  ::unsetenv("KELPWORD_STAND_IN_RECORD");  // NOLINT(concurrency-mt-unsafe)

  EXPECT_EQ(report.error, std::nullopt);
  ASSERT_NE(report.application, nullptr);
  EXPECT_GT(report.application->processIdentifier(), 0);
  EXPECT_NE(report.thread, std::this_thread::get_id());
  auto recorded = [&] {
    return fs::exists(temp_ / "record") &&
           testing_support::readFile(temp_ / "record").ends_with("\n\n");
  };
  for (int tries = 0; tries < 1000 && !recorded(); ++tries) ::usleep(10000);
  EXPECT_EQ(testing_support::readFile(temp_ / "record"),
            "program: " + (temp_ / "App.app/Contents/MacOS/Program").string() +
                "\nfile: /a b.m4a\nfile: /c.m4a\n\n");
}

// The variable set for as long as the object lives, then as it was.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    // NOLINTBEGIN(concurrency-mt-unsafe): tests run one at a time
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
    // NOLINTEND(concurrency-mt-unsafe)
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A session bus runs, but nobody owns the application's name on it and it has no service file for
// it: the desktop entry's Exec line starts the program, whether the entry says it is D-Bus
// activatable or not.
TEST_F(WorkspaceTest, AnApplicationNeitherOnTheBusNorStartableThereStartsByItsExecLine) {
  if (!testing_support::privateBusAvailable()) GTEST_SKIP() << "dbus-daemon is not installed";
  const testing_support::PrivateBus bus(temp_ / "bus");
  ASSERT_TRUE(fs::is_empty(bus.serviceFolder()));
  const ScopedVariable address("DBUS_SESSION_BUS_ADDRESS", bus.address());
  const fs::path record = temp_ / "record";
  const ScopedVariable recordTo("KELPWORD_STAND_IN_RECORD", record.string());

  for (const bool activatable : {false, true}) {
    SCOPED_TRACE(activatable ? "activatable" : "not activatable");
    fs::remove(record);
    const fs::path entry = temp_ / "com.example.kelpword.desktop";
    testing_support::writeFile(
        entry, std::string("[Desktop Entry]\nType=Application\nExec=") + KELPWORD_STAND_IN +
                   " %F\nDBusActivatable=" + (activatable ? "true" : "false") + "\n");

    const auto report = open(Url::fileURL(entry.string(), false),
                             {Url::fileURL("/a b.m4a", false), Url::fileURL("/c.m4a", false)});

    ASSERT_EQ(report.error, std::nullopt);
    EXPECT_NE(report.application, nullptr) << "a program was started";
    ASSERT_TRUE(testing_support::waitUntil(
        [&] { return fs::exists(record) && testing_support::readFile(record).ends_with("\n\n"); },
        std::chrono::seconds(10)));
    EXPECT_EQ(testing_support::readFile(record),
              "program: " + fs::canonical(KELPWORD_STAND_IN).string() +
                  "\nfile: /a b.m4a\nfile: /c.m4a\n\n");
  }
}

TEST_F(WorkspaceTest, ABundlesProgramTakesTheFilesOverAsManyCommandLinesAsTheRoomNeeds) {
  const Url bundle = makeBundle("App.app", KELPWORD_STAND_IN, "com.example.app");
  const std::string program = (temp_ / "App.app/Contents/MacOS/Program").string();
  const std::vector<Url> files{Url::fileURL("/1", false), Url::fileURL("/2", false),
                               Url::fileURL("/3", false)};
  const std::size_t room =
      sizeof(char*) + platform::argumentSize(program) + 2 * platform::argumentSize("/1");

  EXPECT_EQ(argumentsOf(platform::commandLinesFor(bundle, files, room)),
            (std::vector<std::vector<std::string>>{{program, "/1", "/2"}, {program, "/3"}}));
  EXPECT_EQ(argumentsOf(platform::commandLinesFor(bundle, files)),
            (std::vector<std::vector<std::string>>{{program, "/1", "/2", "/3"}}));
}

TEST_F(WorkspaceTest, AProgramThatCannotStartIsReportedWithTheSystemsError) {
  const Url notExecutable = makeBundle("NotExecutable.app", KELPWORD_STAND_IN, "com.example.app");
  fs::permissions(temp_ / "NotExecutable.app/Contents/MacOS/Program", fs::perms::owner_read);
  const Url missing = makeBundle("Missing.app", KELPWORD_STAND_IN, "com.example.app");
  fs::remove(temp_ / "Missing.app/Contents/MacOS/Program");
  testing_support::writeFile(temp_ / "garbage.app/Contents/MacOS/Program", "not a program");
  fs::permissions(temp_ / "garbage.app/Contents/MacOS/Program", fs::perms::owner_all);
  testing_support::writeFile(
      temp_ / "garbage.app/Contents/Info.plist",
      "<plist><dict><key>CFBundleExecutable</key><string>Program</string></dict></plist>");
  testing_support::writeFile(temp_ / "broken.desktop", "[Desktop Entry]\nExec=kw %x\n");
  testing_support::writeFile(temp_ / "absent.desktop",
                             "[Desktop Entry]\nExec=no-such-program-anywhere %F\n");

  const std::pair<Url, std::errc> cases[] = {
      {notExecutable, std::errc::permission_denied},
      {missing, std::errc::no_such_file_or_directory},
      {Url::fileURL((temp_ / "garbage.app").string(), true), std::errc::executable_format_error},
      {Url::fileURL((temp_ / "no bundle here").string(), true),
       std::errc::no_such_file_or_directory},
      {Url::fileURL((temp_ / "broken.desktop").string(), false), std::errc::invalid_argument},
      {Url::fileURL((temp_ / "absent.desktop").string(), false),
       std::errc::no_such_file_or_directory},
  };
  for (const auto& [application, error] : cases) {
    SCOPED_TRACE(application.path());
    const auto report = open(application, {Url::fileURL("/a.m4a", false)});
    EXPECT_EQ(report.error, std::make_error_code(error));
    EXPECT_EQ(report.application, nullptr);
  }
}

TEST_F(WorkspaceTest, RunningInstancesAreFoundByTheirBundleAndEndAsTerminated) {
  const Url bundle = makeBundle("Running.app", KELPWORD_STAND_IN, "com.example.running");
  const std::string program = (temp_ / "Running.app/Contents/MacOS/Program").string();
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl(program.c_str(), program.c_str(), "--stay", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  std::shared_ptr<platform::RunningApplication> found;
  for (int tries = 0; tries < 500 && !found; ++tries) {
    for (auto& running : platform::RunningApplication::runningApplications("com.example.running")) {
      if (running->processIdentifier() == child) found = running;
    }
    if (!found) ::usleep(10000);
  }
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->bundleURL(), bundle);
  EXPECT_EQ(found->bundleIdentifier(), "com.example.running");
  EXPECT_FALSE(found->isTerminated());

  ::kill(child, SIGKILL);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_TRUE(found->isTerminated()) << "a zombie has terminated";
  EXPECT_TRUE(platform::RunningApplication::runningApplications("com.example.running").empty());
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(found->isTerminated());
}

// What a started program finds itself with, as desktop launchers leave it, whatever the starting
// process had: a session of its own, no signal ignored or blocked, standard input from
// /dev/null, and no descriptor beyond the standard ones; once it ends, no zombie is left.
TEST_F(WorkspaceTest, AStartedProgramIsDetachedWithSignalsAtDefaultAndOnlyTheStandardDescriptors) {
  const fs::path report = temp_ / "report";
  const std::string script =
      "exec >'" + report.string() +
      ".part' 2>&1\n"
      // Read by the shell itself: a command it forks would see it blocking signals around fork.
      "read -r pid name state parent group session rest < /proc/$$/stat\n"
      "echo \"parent $parent\"\n"
      "[ \"$session\" = \"$$\" ] && echo 'own session'\n"
      "while read -r key value; do\n"
      "  case $key in SigIgn:|SigBlk:) echo \"$key $value\";; esac\n"
      "done < /proc/$$/status\n"
      "echo \"stdin $(readlink /proc/$$/fd/0)\"\n"
      // Written straight to the report: a command substitution would hold a pipe open meanwhile.
      "echo descriptors; ls /proc/$$/fd; echo end\n"
      "mv '" +
      report.string() + ".part' '" + report.string() + "'\n";
  // The starter ignores one signal, blocks another and holds a descriptor open across exec.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  ::sigaction(SIGTERM, &ignore, &previous);
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  const int inherited = ::open("/dev/null", O_RDONLY);
  const pid_t started = platform::startProgram({"/bin/sh", "-c", script});
  ::close(inherited);
  ::pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
  ::sigaction(SIGTERM, &previous, nullptr);

  ASSERT_TRUE(
      testing_support::waitUntil([&] { return fs::exists(report); }, std::chrono::seconds(10)));
  const std::string text = testing_support::readFile(report);
  EXPECT_THAT(text, testing::HasSubstr("own session\n"));
  EXPECT_THAT(text, testing::HasSubstr("SigBlk: 0000000000000000\n"));
  EXPECT_THAT(text, testing::HasSubstr("SigIgn: 0000000000000000\n"));
  EXPECT_THAT(text, testing::HasSubstr("stdin /dev/null\n"));
  EXPECT_THAT(text, testing::HasSubstr("descriptors\n0\n1\n2\nend\n"));
  ASSERT_GT(started, 0);
  // Reaped once it has ended: no zombie is left to wait for.
  EXPECT_TRUE(testing_support::waitUntil(
      [&] {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(started), &info, WEXITED | WNOHANG | WNOWAIT) !=
                   0 &&
               errno == ECHILD;
      },
      std::chrono::seconds(10)));
}

TEST_F(WorkspaceTest, AnotherUsersProcessIsNeverThisUsersRunningApplication) {
  if (::getuid() != 0) GTEST_SKIP() << "starting a process as another user needs root";
  // An identifier of its own: the tests run side by side, and another test's instances
  // would count here.
  makeBundle("Running.app", KELPWORD_STAND_IN, "com.example.two-users");
  const std::string program = (temp_ / "Running.app/Contents/MacOS/Program").string();
  // One instance as nobody (uid 65534), one as this user.
  const pid_t theirs = platform::startProgram(
      {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", program, "--stay"});
  const pid_t ours = platform::startProgram({program, "--stay"});
  std::vector<pid_t> found;
  for (int tries = 0; tries < 500; ++tries) {
    found.clear();
    for (auto& running :
         platform::RunningApplication::runningApplications("com.example.two-users")) {
      found.push_back(running->processIdentifier());
    }
    // Until setpriv has become the program, it is not the bundle's yet.
    const auto theirsNow = platform::RunningApplication::withProcessIdentifier(theirs);
    if (!found.empty() && theirsNow && theirsNow->bundleURL()) break;
    ::usleep(10000);
  }
  const auto theirsNow = platform::RunningApplication::withProcessIdentifier(theirs);
  ASSERT_NE(theirsNow, nullptr);
  EXPECT_EQ(theirsNow->bundleIdentifier(), "com.example.two-users") << "the other user's runs";
  EXPECT_EQ(found, std::vector<pid_t>{ours});
  ::kill(theirs, SIGKILL);
  ::kill(ours, SIGKILL);
}

}  // namespace
}  // namespace workspace_test
