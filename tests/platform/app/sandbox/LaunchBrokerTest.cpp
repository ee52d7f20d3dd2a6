// The launch broker, in process: which command lines it starts for the confined side and which
// it refuses, how a broker that has ended shows, and what it removes when it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <thread>

#include <unistd.h>

#include "platform/app/sandbox/LaunchBroker.hpp"
#include "tests/support/TempFolder.hpp"

namespace sandbox_test {
namespace {

namespace fs = std::filesystem;
using platform::Url;
using testing_support::readFile;
using testing_support::writeFile;

class LaunchBrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(untrusted());
    makeBundle(temp_ / "Apps/KelpWord.app");
    makeBundle(untrusted() / "Evil.app");
    // A trusted-looking bundle whose program is a link to one the confined side wrote.
    makeBundle(temp_ / "Apps/Linked.app");
    fs::remove(temp_ / "Apps/Linked.app/Contents/MacOS/KelpWord");
    fs::create_symlink(untrusted() / "Evil.app/Contents/MacOS/KelpWord",
                       temp_ / "Apps/Linked.app/Contents/MacOS/KelpWord");
    // A link the confined side made to a bundle it cannot change.
    fs::create_directory_symlink(temp_ / "Apps/KelpWord.app", untrusted() / "Alias.app");
    makeBundle(temp_ / "Apps/Missing.app");
    fs::remove(temp_ / "Apps/Missing.app/Contents/MacOS/KelpWord");
    makeBundle(temp_ / "Apps/NotExecutable.app");
    fs::permissions(temp_ / "Apps/NotExecutable.app/Contents/MacOS/KelpWord",
                    fs::perms::owner_read);

    fs::create_directories(temp_ / "installed");
    fs::copy_file(KELPWORD_STAND_IN, installed());
    writeFile(temp_ / "applications/kelpword.desktop",
              "[Desktop Entry]\nExec=\"" + installed().string() + "\" --from-entry %F\n");
    writeFile(untrusted() / "applications/evil.desktop",
              "[Desktop Entry]\nExec=/bin/sh -c \"echo > " + pwned().string() + "\" sh %F\n");

    // The broker's environment is this process's at the fork.
    ::setenv("KELPWORD_STAND_IN_RECORD", record().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    broker_.emplace(std::vector<std::string>{untrusted().string()}, std::nullopt,
                    std::vector<Url>{Url::fileURL((temp_ / "applications").string(), true),
                                     Url::fileURL((untrusted() / "applications").string(), true)});
    ::unsetenv("KELPWORD_STAND_IN_RECORD");  // NOLINT(concurrency-mt-unsafe)
  }

  fs::path untrusted() const { return temp_ / "untrusted"; }
  fs::path installed() const { return temp_ / "installed/kelpword"; }
  fs::path record() const { return temp_ / "record"; }
  fs::path pwned() const { return temp_ / "pwned"; }

  static void makeBundle(const fs::path& at) {
    fs::create_directories(at / "Contents/MacOS");
    fs::copy_file(KELPWORD_STAND_IN, at / "Contents/MacOS/KelpWord");
    writeFile(at / "Contents/Info.plist",
              "<plist><dict><key>CFBundleExecutable</key><string>KelpWord</string></dict></plist>");
  }

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

struct Command {
  const char* name;
  std::vector<std::string> argv;
  std::optional<std::errc> refusal;  // none: started
  std::string recorded;              // what the stand-in records, when started
};

TEST_F(LaunchBrokerTest, StartsOnlyTheCommandLinesTheWorkspaceMakesForOpeningFiles) {
  const std::string app = (temp_ / "Apps/KelpWord.app/Contents/MacOS/KelpWord").string();
  const std::string installed = this->installed().string();
  const Command commands[] = {
      {"a bundle's program with files",
       {app, "/in box/a.m4a", "/b.m4a"},
       {},
       "program: " + app + "\nfile: /in box/a.m4a\nfile: /b.m4a\n\n"},
      {"a bundle's program with a link",
       {app, "https://example.com/talk"},
       {},
       "program: " + app + "\nfile: https://example.com/talk\n\n"},
      {"a link to a bundle the confined side cannot change",
       {(untrusted() / "Alias.app/Contents/MacOS/KelpWord").string(), "/a.m4a"},
       {},
       "program: " + app + "\nfile: /a.m4a\n\n"},
      {"a desktop entry's command line",
       {installed, "--from-entry", "/a.m4a", "/b.m4a"},
       {},
       "program: " + installed + "\nfile: --from-entry\nfile: /a.m4a\nfile: /b.m4a\n\n"},
      {"a bundle's program with an option", {app, "--stay"}, std::errc::operation_not_permitted},
      {"a bundle's program with a relative path",
       {app, "a.m4a"},
       std::errc::operation_not_permitted},
      {"a bundle where the confined side writes",
       {(untrusted() / "Evil.app/Contents/MacOS/KelpWord").string(), "/a.m4a"},
       std::errc::operation_not_permitted},
      {"a bundle whose program links to where the confined side writes",
       {(temp_ / "Apps/Linked.app/Contents/MacOS/KelpWord").string(), "/a.m4a"},
       std::errc::operation_not_permitted},
      {"a program of no application",
       {"/bin/sh", "-c", "echo > " + pwned().string()},
       std::errc::operation_not_permitted},
      {"a desktop entry's program with other arguments",
       {installed, "--evil", "/a.m4a"},
       std::errc::operation_not_permitted},
      {"a desktop entry where the confined side writes",
       {"/bin/sh", "-c", "echo > " + pwned().string(), "sh", "/a.m4a"},
       std::errc::operation_not_permitted},
      {"a bundle without its program",
       {(temp_ / "Apps/Missing.app/Contents/MacOS/KelpWord").string(), "/a.m4a"},
       std::errc::no_such_file_or_directory},
      {"a bundle whose program cannot be executed",
       {(temp_ / "Apps/NotExecutable.app/Contents/MacOS/KelpWord").string(), "/a.m4a"},
       std::errc::permission_denied},
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command.name);
    fs::remove(record());
    try {
      EXPECT_GT(broker_->start(command.argv), 0);
      EXPECT_FALSE(command.refusal) << "started";
      EXPECT_EQ(recorded(1), command.recorded);
    } catch (const std::system_error& error) {
      ASSERT_TRUE(command.refusal) << error.what();
      EXPECT_EQ(error.code(), std::make_error_code(*command.refusal)) << error.what();
    }
  }
  // The refused commands ran nothing.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(fs::exists(pwned()));
}

TEST_F(LaunchBrokerTest, TellsWhereProcessesProgramsLieInOneRequest) {
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  // The broker is a copy of this process; no process has the id 0 or -1.
  EXPECT_EQ(broker_->executablesOf({::getpid(), 0, broker_->processIdentifier(), -1}),
            (std::vector<std::optional<std::string>>{self, std::nullopt, self, std::nullopt}));
  EXPECT_EQ(broker_->executablesOf({}), std::vector<std::optional<std::string>>{});
}

TEST_F(LaunchBrokerTest, ABrokerThatHasEndedFailsEveryRequest) {
  ASSERT_EQ(::kill(broker_->processIdentifier(), SIGKILL), 0);
  try {
    broker_->start({(temp_ / "Apps/KelpWord.app/Contents/MacOS/KelpWord").string(), "/a.m4a"});
    ADD_FAILURE() << "started";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::broken_pipe);
  }
  EXPECT_EQ(broker_->executablesOf({::getpid()}),
            std::vector<std::optional<std::string>>{std::nullopt});
  broker_.reset();  // collects the ended broker
  EXPECT_FALSE(fs::exists(record()));
}

TEST_F(LaunchBrokerTest, AtItsEndTheBrokerRemovesItsFolderAndNeverFollowsALinkInside) {
  writeFile(temp_ / "sandbox/nested/file", "gone");
  writeFile(temp_ / "elsewhere/kept", "kept");
  fs::create_directory_symlink(temp_ / "elsewhere", temp_ / "sandbox/nested/link");
  std::optional<platform::LaunchBroker> broker(std::in_place, std::vector<std::string>{},
                                               (temp_ / "sandbox").string());
  EXPECT_TRUE(fs::exists(temp_ / "sandbox")) << "kept while the broker serves";

  broker.reset();

  EXPECT_FALSE(fs::exists(temp_ / "sandbox"));
  EXPECT_EQ(readFile(temp_ / "elsewhere/kept"), "kept");
}

}  // namespace
}  // namespace sandbox_test
