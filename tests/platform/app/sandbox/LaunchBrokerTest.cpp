// The launch broker as a process: it opens files with the application its policy accepts and
// nothing else, even while the confined side races links under it; how a broker that has ended
// shows; the signals it outlives; what it removes when it ends.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/app/sandbox/BrokerWire.hpp"
#include "platform/app/sandbox/LaunchBroker.hpp"
#include "tests/support/TempFolder.hpp"

namespace sandbox_test {
namespace {

namespace fs = std::filesystem;
using platform::Url;
using testing_support::readFile;
using testing_support::writeFile;

constexpr const char* identifier = "com.example.trusted";

void makeBundle(const fs::path& at, const fs::path& program = KELPWORD_STAND_IN) {
  fs::create_directories(at / "Contents/MacOS");
  fs::copy_file(program, at / "Contents/MacOS/KelpWord");
  writeFile(at / "Contents/Info.plist",
            std::string("<plist><dict><key>CFBundleIdentifier</key><string>") + identifier +
                "</string><key>CFBundleExecutable</key><string>KelpWord</string></dict></plist>");
}

Url file(const fs::path& path) { return Url::fileURL(path.string(), false); }
Url folder(const fs::path& path) { return Url::fileURL(path.string(), true); }

class LaunchBrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeBundle(temp_ / "Apps/KelpWord.app");
    fs::create_directories(share());
    // The broker's environment is this process's at the fork.
    ::setenv("KELPWORD_STAND_IN_RECORD", record().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    broker_.emplace(
        platform::LaunchTrust{
            .applicationIdentifier = identifier,
            .applicationFolders = {folder(temp_ / "applications")},
            .shareFolders = {inbox().string()},
            .untrusted = {inbox().string()},
        },
        std::nullopt);
    ::unsetenv("KELPWORD_STAND_IN_RECORD");  // NOLINT(concurrency-mt-unsafe)
  }

  fs::path inbox() const { return temp_ / "inbox"; }
  fs::path share() const { return inbox() / "share"; }
  fs::path record() const { return temp_ / "record"; }
  fs::path pwned() const { return temp_ / "pwned"; }

  // The stand-ins' record once it holds `count` starts (or after a few seconds).
  std::string recorded(std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (fs::exists(record())) {
        auto text = readFile(record());
        std::size_t starts = 0;
        for (auto at = text.find("\n\n"); at != std::string::npos; at = text.find("\n\n", at + 2)) {
          ++starts;
        }
        if (starts >= count) return text;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fs::exists(record()) ? readFile(record()) : "";
  }

  testing_support::TempFolder temp_;
  std::optional<platform::LaunchBroker> broker_;
};

TEST_F(LaunchBrokerTest, OpensFilesWithTheApplicationItsPolicyAcceptsAndNothingElse) {
  makeBundle(inbox() / "Evil.app");
  try {
    broker_->open(folder(inbox() / "Evil.app"), {file(share() / "a.m4a")});
    ADD_FAILURE() << "started";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::operation_not_permitted) << error.what();
  }

  const auto started =
      broker_->open(folder(temp_ / "Apps/KelpWord.app"), {file(share() / "a b.m4a")});

  ASSERT_EQ(started.size(), 1u);
  EXPECT_GT(started[0], 0);
  recorded(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(readFile(record()),
            "program: " + (temp_ / "Apps/KelpWord.app/Contents/MacOS/KelpWord").string() +
                "\nfile: " + (share() / "a b.m4a").string() + "\n\n");
}

// The confined side names a bundle through a folder of its own, inbox/flip, and swaps that
// folder as fast as it can between a link to KelpWord and a folder holding a fake KelpWord whose
// program is a script. Whatever the broker saw, it ran KelpWord or nothing.
TEST_F(LaunchBrokerTest, ARaceOfLinksUnderTheBrokerNeverRunsTheFake) {
  writeFile(temp_ / "fake.sh", "#!/bin/sh\necho pwned > '" + pwned().string() + "'\n");
  fs::permissions(temp_ / "fake.sh", fs::perms::owner_all);
  makeBundle(inbox() / "flip-fake/KelpWord.app", temp_ / "fake.sh");
  fs::create_directory_symlink(temp_ / "Apps", inbox() / "flip");
  const Url named = folder(inbox() / "flip/KelpWord.app");

  std::atomic<bool> racing = true;
  std::thread compromised([&] {
    const std::string a = (inbox() / "flip").string();
    const std::string b = (inbox() / "flip-fake").string();
    while (racing) ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
  });
  std::size_t started = 0;
  std::size_t refused = 0;
  for (int request = 0; request < 300; ++request) {
    try {
      started += broker_->open(named, {file(share() / "Talk.m4a")}).size();
    } catch (const std::system_error& error) {
      // The fake is refused; a path caught half-way through a swap may name nothing.
      EXPECT_TRUE(error.code() == std::errc::operation_not_permitted ||
                  error.code() == std::errc::no_such_file_or_directory)
          << error.what();
      ++refused;
    }
  }
  racing = false;
  compromised.join();

  const std::string kelpWord = (temp_ / "Apps/KelpWord.app/Contents/MacOS/KelpWord").string();
  const auto text = recorded(started);
  std::size_t starts = 0;
  for (auto at = text.find("program: "); at != std::string::npos;
       at = text.find("program: ", at + 1)) {
    EXPECT_EQ(text.substr(at + 9, kelpWord.size() + 1), kelpWord + "\n");
    ++starts;
  }
  EXPECT_EQ(starts, started);
  // Both sides of the race were seen, or it proved nothing.
  EXPECT_GT(started, 0u);
  EXPECT_GT(refused, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(fs::exists(pwned()));
}

TEST_F(LaunchBrokerTest, TellsWhereProcessesProgramsLie) {
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  // The broker is a copy of this process; no process has the id 0 or -1.
  EXPECT_EQ(broker_->executablesOf({::getpid(), 0, broker_->processIdentifier(), -1}),
            (std::vector<std::optional<std::string>>{self, std::nullopt, self, std::nullopt}));
  EXPECT_EQ(broker_->executablesOf({}), std::vector<std::optional<std::string>>{});
  // More than one request's worth.
  const std::vector<pid_t> many(2500, ::getpid());
  EXPECT_EQ(broker_->executablesOf(many),
            std::vector<std::optional<std::string>>(many.size(), self));
}

// Only the sharing user's processes are the confined side's business.
TEST_F(LaunchBrokerTest, TellsNothingOfAnotherUsersProcesses) {
  std::array<int, 2> ready{};
  ASSERT_EQ(::pipe2(ready.data(), O_CLOEXEC), 0);
  const pid_t other = ::fork();
  if (other == 0) {
    const bool became = ::setgid(65534) == 0 && ::setuid(65534) == 0;
    const char answer = became ? 'y' : 'n';
    (void)::write(ready[1], &answer, 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char became = 'n';
  ASSERT_EQ(::read(ready[0], &became, 1), 1);
  ::close(ready[0]);
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const auto answers = broker_->executablesOf({other, ::getpid()});
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
  if (became != 'y') GTEST_SKIP() << "cannot run a process as another user";
  EXPECT_EQ(answers, (std::vector<std::optional<std::string>>{std::nullopt, self}));
}

// A compromised extension forks a child that keeps the broker's connection open: when the
// process that made the broker ends, the broker ends all the same, and removes its folder.
TEST_F(LaunchBrokerTest, TheBrokerEndsWithItsMakerWhateverChildHoldsTheConnection) {
  writeFile(temp_ / "sandbox/file", "left by the share");
  std::array<int, 2> report{};
  ASSERT_EQ(::pipe2(report.data(), O_CLOEXEC), 0);
  const pid_t maker = ::fork();
  if (maker == 0) {
    // The maker: makes a broker, leaves a child holding the connection, and ends at once.
    std::optional<platform::LaunchBroker> broker(std::in_place, platform::LaunchTrust{},
                                                 (temp_ / "sandbox").string());
    const pid_t pids[] = {broker->processIdentifier(), ::fork()};
    if (pids[1] == 0) {
      ::pause();
      ::_exit(0);
    }
    (void)::write(report[1], pids, sizeof pids);
    ::_exit(0);
  }
  ::close(report[1]);
  std::array<pid_t, 2> pids{};
  const auto length = ::read(report[0], pids.data(), sizeof pids);
  ::close(report[0]);
  ::waitpid(maker, nullptr, 0);
  ASSERT_EQ(length, static_cast<ssize_t>(sizeof pids));
  const auto [broker, holder] = pids;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (fs::exists(temp_ / "sandbox") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(fs::exists(temp_ / "sandbox"));
  // The broker, the maker's child, went to init: it is gone once it no longer answers signals.
  while (::kill(broker, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(::kill(broker, 0), 0) << "the broker still runs";
  ::kill(holder, SIGKILL);
}

// Hanging up ends the broker, and fails any later request, while the connection stays open.
TEST_F(LaunchBrokerTest, HangingUpEndsTheBroker) {
  const pid_t broker = broker_->processIdentifier();
  broker_->hangUp();
  EXPECT_EQ(broker_->executablesOf({::getpid()}),
            std::vector<std::optional<std::string>>{std::nullopt});
  siginfo_t ended{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(broker), &ended, WEXITED | WNOWAIT), 0);
  EXPECT_EQ(ended.si_code, CLD_EXITED);
}

// The confined side holds the connection and may write any request on it: one for the paths of
// very many processes whose programs lie deep makes an answer beyond the wire's bounds. The
// broker refuses it and serves on, and still removes its folder at the end.
TEST_F(LaunchBrokerTest, ARequestWhoseAnswerBreaksTheBoundsIsRefusedAndTheBrokerServesOn) {
  fs::path deep = temp_.path();
  for (int level = 0; level < 4; ++level) deep /= std::string(60, static_cast<char>('a' + level));
  fs::create_directories(deep);
  fs::copy_file("/bin/sleep", deep / "sleep");
  const pid_t sleeper = ::fork();
  ASSERT_GE(sleeper, 0);
  if (sleeper == 0) {
    ::execl((deep / "sleep").c_str(), "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Until it has been executed: before, its program is this one, which lies nowhere deep.
  const fs::path executable = "/proc/" + std::to_string(sleeper) + "/exe";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::error_code ignored;
  while (fs::read_symlink(executable, ignored) != deep / "sleep" &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  writeFile(temp_ / "sandbox/file", "gone");

  // The socket pair takes the lowest free descriptors, this side's first.
  const int connection = ::dup(STDIN_FILENO);
  ::close(connection);
  std::optional<platform::LaunchBroker> broker(std::in_place, platform::LaunchTrust{},
                                               (temp_ / "sandbox").string());
  struct stat info {};
  ASSERT_EQ(::fstat(connection, &info), 0);
  ASSERT_TRUE(S_ISSOCK(info.st_mode));

  namespace wire = platform::brokerwire;
  const wire::Message request{
      static_cast<std::uint32_t>(wire::Request::executables),
      std::vector<std::string>(wire::maximumFields, std::to_string(sleeper))};
  ASSERT_TRUE(wire::send(connection, request));
  const auto answer = wire::receive(connection);
  ASSERT_TRUE(answer) << "the broker ended";
  EXPECT_EQ(answer->kind, static_cast<std::uint32_t>(E2BIG));
  EXPECT_EQ(broker->executablesOf({sleeper}),
            std::vector<std::optional<std::string>>{(deep / "sleep").string()});

  broker.reset();
  EXPECT_FALSE(fs::exists(temp_ / "sandbox"));
  ::kill(sleeper, SIGKILL);
  ::waitpid(sleeper, nullptr, 0);
}

TEST_F(LaunchBrokerTest, ABrokerThatHasEndedFailsEveryRequest) {
  ASSERT_EQ(::kill(broker_->processIdentifier(), SIGKILL), 0);
  try {
    broker_->open(folder(temp_ / "Apps/KelpWord.app"), {file(share() / "a.m4a")});
    ADD_FAILURE() << "started";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::broken_pipe);
  }
  EXPECT_EQ(broker_->executablesOf({::getpid()}),
            std::vector<std::optional<std::string>>{std::nullopt});
  broker_.reset();  // collects the ended broker
  EXPECT_FALSE(fs::exists(record()));
}

TEST_F(LaunchBrokerTest, TheTerminalsSignalsLeaveTheBrokerServingInASessionOfItsOwn) {
  const pid_t broker = broker_->processIdentifier();
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  ASSERT_EQ(broker_->executablesOf({broker}).front(), self) << "serving";
  EXPECT_NE(::getsid(broker), ::getsid(0));
  EXPECT_NE(::getpgid(broker), ::getpgid(0));
  for (const int signal : {SIGINT, SIGHUP, SIGTERM}) {
    SCOPED_TRACE(signal);
    ASSERT_EQ(::kill(broker, signal), 0);
    EXPECT_EQ(broker_->executablesOf({broker}).front(), self);
  }
  // A program it starts gets the signals back.
  const auto started =
      broker_->open(folder(temp_ / "Apps/KelpWord.app"), {file(share() / "a.m4a")});
  ASSERT_EQ(started.size(), 1u);
  recorded(1);
}

TEST_F(LaunchBrokerTest, AtItsEndTheBrokerRemovesItsFolderAndNeverFollowsALinkInside) {
  writeFile(temp_ / "sandbox/nested/file", "gone");
  writeFile(temp_ / "elsewhere/kept", "kept");
  fs::create_directory_symlink(temp_ / "elsewhere", temp_ / "sandbox/nested/link");
  std::optional<platform::LaunchBroker> broker(std::in_place, platform::LaunchTrust{},
                                               (temp_ / "sandbox").string());
  EXPECT_TRUE(fs::exists(temp_ / "sandbox")) << "kept while the broker serves";

  broker.reset();

  EXPECT_FALSE(fs::exists(temp_ / "sandbox"));
  EXPECT_EQ(readFile(temp_ / "elsewhere/kept"), "kept");
}

}  // namespace
}  // namespace sandbox_test
