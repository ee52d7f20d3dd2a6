#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "DidedaZiv/AudioIntake.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"

namespace intake = DidedaZiv::AudioIntake;
namespace fs = std::filesystem;
using platform::Url;
using testing_support::TempFolder;

namespace {

// The text form of a UUID: hexadecimal digits in groups of 8, 4, 4, 4 and 12, upper case.
bool isUpperCaseUuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = text[i];
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

TEST(ReceivedFolder, IsTheInboxUnderTheGivenHome) {
  const auto home = Url::fileURL("/home/ana lu", true);
  const auto inbox = intake::receivedFolder(home);
  EXPECT_EQ(inbox.path(),
            "/home/ana lu/Library/Application Support/com.brenvik.kelpword/Received Files");
  EXPECT_TRUE(inbox.hasDirectoryPath());
  EXPECT_EQ(inbox.absoluteString(),
            "file:///home/ana%20lu/Library/Application%20Support/com.brenvik.kelpword/"
            "Received%20Files/");
  EXPECT_EQ(home.path(), "/home/ana lu");
}

TEST(ShareProblem, OnlyAnExistingFolderIsReady) {
  TempFolder temp;
  const auto inbox = intake::receivedFolder(temp.url());
  EXPECT_EQ(intake::shareProblem(inbox), std::string(intake::openKelpWordFirstMessage));

  testing_support::writeFile(inbox.path(), "a file where the inbox should be");
  EXPECT_EQ(intake::shareProblem(inbox), std::string(intake::openKelpWordFirstMessage));

  fs::remove(inbox.path());
  fs::create_directories(inbox.path());
  EXPECT_EQ(intake::shareProblem(inbox), std::nullopt);
  EXPECT_TRUE(fs::is_empty(inbox.path())) << "nothing is created";
}

TEST(NewFolder, MakesDistinctUuidNamedFoldersAndMissingParents) {
  TempFolder temp;
  const auto inbox = intake::receivedFolder(temp.url());  // does not exist yet

  const auto first = intake::newFolder(inbox);
  const auto second = intake::newFolder(inbox);

  for (const auto& folder : {first, second}) {
    EXPECT_TRUE(folder.hasDirectoryPath());
    EXPECT_TRUE(fs::is_directory(folder.path()));
    EXPECT_EQ(folder.deletingLastPathComponent(), inbox);
    EXPECT_TRUE(isUpperCaseUuid(folder.lastPathComponent())) << folder.lastPathComponent();
  }
  EXPECT_NE(first, second);
}

TEST(NewFolder, FailsWithTheSystemsCodeWhenAFileStandsInTheWay) {
  TempFolder temp;
  testing_support::writeFile(temp / "Library", "not a folder");
  const auto inbox = intake::receivedFolder(temp.url());
  try {
    intake::newFolder(inbox);
    FAIL() << "a regular file in the path must make it fail";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::error_code(ENOTDIR, std::generic_category())) << error.what();
  }
  EXPECT_THAT(testing_support::namesIn(temp.path()), testing::ElementsAre("Library"));
  EXPECT_EQ(testing_support::readFile(temp / "Library"), "not a folder");
}

TEST(NewFolder, FailsWhereItCannotWriteAndLeavesNothing) {
  // Root writes anywhere, so the attempt runs as an unprivileged user in a child process.
  TempFolder temp;
  fs::create_directories(temp / "inbox");
  fs::permissions(temp / "inbox", fs::perms(0755));
  testing_support::ProcessOptions asNobody;
  asNobody.runAsUser = 65534;
  const auto result =
      testing_support::run({INTAKE_PROBE, "new-folder", (temp / "inbox").string()}, asNobody);
  if (result.exitStatus == 126) GTEST_SKIP() << "cannot switch to an unprivileged user here";
  EXPECT_EQ(result.exitStatus, 1) << result.out << result.err;
  EXPECT_EQ(result.out, "error " + std::to_string(EACCES) + "\n");
  EXPECT_TRUE(fs::is_empty(temp / "inbox"));
}

// realHome reads the user database for real: the child runs under nss_wrapper with a passwd file
// of this test's making, so the real home folder is never looked at.
class RealHome : public testing::Test {
 protected:
  void SetUp() override {
    if (testing_support::nssWrapperLibrary().empty())
      GTEST_SKIP() << "nss_wrapper is not installed";
    testing_support::writeFile(temp_ / "group", "root:x:0:\n");
  }

  // With `fromRemovedFolder`, the probe runs in a current folder that has been removed.
  testing_support::ProcessResult printRealHome(const std::string& passwd, const char* homeVariable,
                                               bool fromRemovedFolder = false) {
    testing_support::writeFile(temp_ / "passwd", passwd);
    testing_support::ProcessOptions options;
    options.environment = testing_support::nssWrapperEnvironment((temp_ / "passwd").string(),
                                                                 (temp_ / "group").string());
    if (homeVariable != nullptr) {
      options.environment.emplace_back("HOME", homeVariable);
    } else {
      options.unsetEnvironment.push_back("HOME");
    }
    std::vector<std::string> argv{INTAKE_PROBE, "real-home"};
    if (fromRemovedFolder) {
      fs::create_directory(temp_ / "gone");
      argv.push_back((temp_ / "gone").string());
    }
    return testing_support::run(argv, options);
  }

  TempFolder temp_;
};

TEST_F(RealHome, IsTheRecordsHomeWhateverHomeSays) {
  const auto result =
      printRealHome("root:x:0:0:root:/srv/the real home:/bin/sh\n", "/tmp/elsewhere");
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "/srv/the real home\ndirectory\n");
}

TEST_F(RealHome, FallsBackToHomeWithoutARecord) {
  const auto result =
      printRealHome("someone:x:4242:4242::/home/someone:/bin/sh\n", "/tmp/fallback home");
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "/tmp/fallback home\ndirectory\n");
}

TEST_F(RealHome, FallsBackToTheRootWithoutRecordOrHome) {
  const auto result = printRealHome("someone:x:4242:4242::/home/someone:/bin/sh\n", nullptr);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "/\ndirectory\n");
}

// Never fails: a home field that names no usable folder counts as none.
TEST_F(RealHome, TakesAHomeThatNamesNoFolderAsNone) {
  struct Case {
    const char* passwd;
    const char* homeVariable;
    bool fromRemovedFolder;
    const char* expected;
  };
  const Case cases[] = {
      {"root:x:0:0:root::/bin/sh\n", "/tmp/fallback home", false, "/tmp/fallback home\n"},
      {"root:x:0:0:root::/bin/sh\n", nullptr, false, "/\n"},
      {"root:x:0:0:root:relative/home:/bin/sh\n", "/tmp/fallback home", true,
       "/tmp/fallback home\n"},
      {"root:x:0:0:root:relative/home:/bin/sh\n", "relative too", true, "/\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.passwd << "HOME=" << (c.homeVariable ? c.homeVariable : "(unset)")
                 << (c.fromRemovedFolder ? ", current folder removed" : ""));
    const auto result = printRealHome(c.passwd, c.homeVariable, c.fromRemovedFolder);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, std::string(c.expected) + "directory\n");
  }
}

}  // namespace
