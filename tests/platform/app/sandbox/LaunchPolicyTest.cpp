// The launch broker's trust policy, in process: which applications and files it accepts, the
// command lines it builds, and that the program it keeps open is the file it checked.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/app/sandbox/LaunchPolicy.hpp"
#include "tests/support/CommandLines.hpp"
#include "tests/support/TempFolder.hpp"

namespace sandbox_test {
namespace {

namespace fs = std::filesystem;
using platform::Url;
using testing_support::writeFile;

constexpr const char* identifier = "com.example.trusted";

void makeBundle(const fs::path& at, const std::string& bundleIdentifier = identifier) {
  fs::create_directories(at / "Contents/MacOS");
  fs::copy_file(KELPWORD_STAND_IN, at / "Contents/MacOS/KelpWord");
  writeFile(at / "Contents/Info.plist",
            "<plist><dict><key>CFBundleIdentifier</key><string>" + bundleIdentifier +
                "</string><key>CFBundleExecutable</key><string>KelpWord</string></dict></plist>");
}

using testing_support::argumentsOf;

bool sameFile(int fd, const fs::path& path) {
  struct stat open {};
  struct stat named {};
  return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

class LaunchPolicyTest : public ::testing::Test {
 protected:
  LaunchPolicyTest() {
    makeBundle(temp_ / "Apps/KelpWord.app");
    makeBundle(temp_ / "Apps/Other.app", "com.example.other");
    makeBundle(temp_ / "Apps/Linked.app");
    fs::remove(temp_ / "Apps/Linked.app/Contents/MacOS/KelpWord");
    fs::create_symlink(temp_ / "Apps/KelpWord.app/Contents/MacOS/KelpWord",
                       temp_ / "Apps/Linked.app/Contents/MacOS/KelpWord");
    makeBundle(temp_ / "Apps/LinkedContents.app/Elsewhere");
    fs::create_directory_symlink("Elsewhere/Contents", temp_ / "Apps/LinkedContents.app/Contents");
    makeBundle(temp_ / "Apps/Missing.app");
    fs::remove(temp_ / "Apps/Missing.app/Contents/MacOS/KelpWord");
    makeBundle(temp_ / "Apps/Folder.app");
    fs::remove(temp_ / "Apps/Folder.app/Contents/MacOS/KelpWord");
    fs::create_directory(temp_ / "Apps/Folder.app/Contents/MacOS/KelpWord");
    fs::create_directories(temp_ / "Apps/Empty.app");
    // What the confined side made in the inbox: a bundle of its own, and a link to a bundle it
    // cannot change.
    fs::create_directories(share());
    makeBundle(inbox() / "Evil.app");
    fs::create_directory_symlink(temp_ / "Apps/KelpWord.app", inbox() / "Alias.app");
    fs::create_directory_symlink(inbox(), temp_ / "Apps/ToTheInbox");
  }

  fs::path inbox() const { return temp_ / "inbox"; }
  fs::path share() const { return inbox() / "share"; }
  fs::path applications() const { return temp_ / "applications"; }

  platform::LaunchPolicy policy(const std::vector<fs::path>& untrusted = {}) const {
    platform::LaunchTrust trust{
        .applicationIdentifier = identifier,
        .applicationFolders = {Url::fileURL(applications().string(), true)},
        .shareFolders = {inbox().string()},
        .untrusted = {inbox().string()},
    };
    for (const auto& folder : untrusted) trust.untrusted.push_back(folder.string());
    return platform::LaunchPolicy(std::move(trust));
  }

  testing_support::TempFolder temp_;
};

struct Verification {
  const char* name;
  std::string application;
  std::vector<std::string> files;
  std::optional<std::errc> refusal;  // none: accepted
  std::string program;               // the program accepted, and the command line's first word
};

TEST_F(LaunchPolicyTest, OnlyTheTrustedBundleWithFilesOfAShareFolder) {
  const std::string app = (temp_ / "Apps/KelpWord.app/Contents/MacOS/KelpWord").string();
  const std::string file = (share() / "Talk.m4a").string();
  const std::string inbox = this->inbox().string();
  const auto eperm = std::errc::operation_not_permitted;
  const auto bundle = [&](const char* name) { return (temp_ / "Apps" / name).string(); };
  const Verification cases[] = {
      {"the bundle with a shared file", bundle("KelpWord.app"), {file, file + "2"}, {}, app},
      {"a file whose name starts like an option",
       bundle("KelpWord.app"),
       {(share() / "-stay").string()},
       {},
       app},
      {"no files", bundle("KelpWord.app"), {}, {}, app},
      {"a link the confined side made to the bundle",
       (this->inbox() / "Alias.app").string(),
       {file},
       {},
       app},
      {"another application", bundle("Other.app"), {file}, eperm},
      {"a bundle where the confined side writes",
       (this->inbox() / "Evil.app").string(),
       {file},
       eperm},
      {"a path that leads into the inbox", bundle("ToTheInbox/Evil.app"), {file}, eperm},
      {"a program that is a link", bundle("Linked.app"), {file}, eperm},
      {"Contents that is a link", bundle("LinkedContents.app"), {file}, eperm},
      {"a bundle without its program",
       bundle("Missing.app"),
       {file},
       std::errc::no_such_file_or_directory},
      {"a program that is a folder", bundle("Folder.app"), {file}, eperm},
      {"a folder without Info.plist",
       bundle("Empty.app"),
       {file},
       std::errc::no_such_file_or_directory},
      {"nothing there", bundle("Nowhere.app"), {file}, std::errc::no_such_file_or_directory},
      {"a file outside the inbox", bundle("KelpWord.app"), {"/etc/passwd"}, eperm},
      {"a file in the inbox itself", bundle("KelpWord.app"), {inbox + "/Talk.m4a"}, eperm},
      {"a file deeper in a share folder",
       bundle("KelpWord.app"),
       {(share() / "sub/Talk.m4a").string()},
       eperm},
      {"a way out by ..", bundle("KelpWord.app"), {inbox + "/share/../../../etc/passwd"}, eperm},
      {"a . component", bundle("KelpWord.app"), {inbox + "/./share/Talk.m4a"}, eperm},
      {"an empty component", bundle("KelpWord.app"), {inbox + "//share/Talk.m4a"}, eperm},
      {"an option", bundle("KelpWord.app"), {"--stay"}, eperm},
      {"a relative path", bundle("KelpWord.app"), {"share/Talk.m4a"}, eperm},
      {"a link", bundle("KelpWord.app"), {"https://example.com/talk"}, eperm},
      {"one bad file among good ones", bundle("KelpWord.app"), {file, "/etc/passwd"}, eperm},
  };
  const auto policy = this->policy();
  for (const auto& verification : cases) {
    SCOPED_TRACE(verification.name);
    try {
      const auto launch = policy.verify(verification.application, verification.files);
      ASSERT_FALSE(verification.refusal) << "accepted";
      EXPECT_TRUE(sameFile(launch.program.get(), verification.program));
      std::vector<std::string> argv{verification.program};
      argv.insert(argv.end(), verification.files.begin(), verification.files.end());
      EXPECT_EQ(argumentsOf(launch.commandLines), std::vector<std::vector<std::string>>{argv});
    } catch (const std::system_error& error) {
      ASSERT_TRUE(verification.refusal) << error.what();
      EXPECT_EQ(error.code(), std::make_error_code(*verification.refusal)) << error.what();
    }
  }
}

TEST_F(LaunchPolicyTest, ABundleBeneathAnUntrustedFolderIsRefusedHoweverItIsNamed) {
  // The bundle's own folder, a folder above it, or its Contents made untrusted.
  for (const auto& untrusted :
       {temp_ / "Apps", temp_ / "Apps/KelpWord.app", temp_ / "Apps/KelpWord.app/Contents/MacOS"}) {
    SCOPED_TRACE(untrusted);
    for (const auto& named : {temp_ / "Apps/KelpWord.app", inbox() / "Alias.app"}) {
      try {
        policy({untrusted}).verify(named.string(), {(share() / "Talk.m4a").string()});
        ADD_FAILURE() << named << " accepted";
      } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::operation_not_permitted) << error.what();
      }
    }
  }
}

struct OwnershipCase {
  const char* name;
  std::function<void(const fs::path& around, const fs::path& bundle)> change;
  bool accepted = false;
  uid_t sharingUser = 0;
};

// As ssh asks of its files: a program another user could change, or replace through a folder
// above it, is never started, run as root or not.
TEST_F(LaunchPolicyTest, WhatAnotherUserCouldChangeIsNeverStarted) {
  constexpr uid_t nobody = 65534;
  const auto chown = [](const fs::path& path) {
    ASSERT_EQ(::lchown(path.c_str(), nobody, nobody), 0);
  };
  const auto chmod = [](const fs::path& path, mode_t mode) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  };
  const OwnershipCase cases[] = {
      {.name = "root's own", .change = [](auto&, auto&) {}, .accepted = true},
      {.name = "the bundle another user's", .change = [&](auto&, auto& b) { chown(b); }},
      {.name = "the program another user's",
       .change = [&](auto&, auto& b) { chown(b / "Contents/MacOS/KelpWord"); }},
      {.name = "Info.plist another user's",
       .change = [&](auto&, auto& b) { chown(b / "Contents/Info.plist"); }},
      {.name = "a folder above another user's", .change = [&](auto& a, auto&) { chown(a); }},
      {.name = "a folder above world-writable", .change = [&](auto& a, auto&) { chmod(a, 0777); }},
      {.name = "a folder above group-writable", .change = [&](auto& a, auto&) { chmod(a, 0775); }},
      {.name = "a folder above world-writable and sticky, as /tmp",
       .change = [&](auto& a, auto&) { chmod(a, 01777); },
       .accepted = true},
      {.name = "the program's folder world-writable and sticky, another user's",
       .change =
           [&](auto&, auto& b) {
             chmod(b / "Contents/MacOS", 01777);
             chown(b / "Contents/MacOS");
           }},
      {.name = "the program group-writable",
       .change = [&](auto&, auto& b) { chmod(b / "Contents/MacOS/KelpWord", 0775); }},
      {.name = "the sharing user's own bundle",
       .change =
           [&](auto&, auto& b) {
             for (const auto& item : fs::recursive_directory_iterator(b)) chown(item.path());
             chown(b);
           },
       .accepted = true,
       .sharingUser = nobody},
  };
  const std::vector<std::string> files{(share() / "Talk.m4a").string()};
  for (const auto& ownership : cases) {
    SCOPED_TRACE(ownership.name);
    const fs::path around = temp_ / "Owners" / ownership.name;
    const fs::path bundle = around / "KelpWord.app";
    makeBundle(bundle);
    ownership.change(around, bundle);
    platform::LaunchTrust trust{
        .applicationIdentifier = identifier,
        .applicationFolders = {},
        .shareFolders = {inbox().string()},
        .untrusted = {inbox().string()},
        .user = ownership.sharingUser,
    };
    try {
      platform::LaunchPolicy(std::move(trust)).verify(bundle.string(), files);
      EXPECT_TRUE(ownership.accepted) << "accepted";
    } catch (const std::system_error& error) {
      EXPECT_FALSE(ownership.accepted) << error.what();
      EXPECT_EQ(error.code(), std::errc::operation_not_permitted) << error.what();
    }
  }
}

// The same for a desktop entry: the entry, its folder and the program its Exec line names.
TEST_F(LaunchPolicyTest, ADesktopEntryOrProgramAnotherUserCouldChangeIsNeverUsed) {
  const fs::path installed = temp_ / "installed/kelpword";
  fs::create_directories(installed.parent_path());
  fs::copy_file(KELPWORD_STAND_IN, installed);
  const fs::path entry = applications() / "com.example.trusted.desktop";
  writeFile(entry, "[Desktop Entry]\nExec=" + installed.string() + " %F\n");
  const std::vector<std::string> files{(share() / "a.m4a").string()};
  ASSERT_NO_THROW(policy().verify(entry.string(), files));

  for (const auto& changed : {entry, applications(), installed, installed.parent_path()}) {
    SCOPED_TRACE(changed);
    struct stat before {};
    ASSERT_EQ(::stat(changed.c_str(), &before), 0);
    ASSERT_EQ(::chown(changed.c_str(), 65534, 65534), 0);
    try {
      policy().verify(entry.string(), files);
      ADD_FAILURE() << "accepted";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::errc::operation_not_permitted) << error.what();
    }
    ASSERT_EQ(::chown(changed.c_str(), before.st_uid, before.st_gid), 0);
  }
}

struct EntryCase {
  const char* name;
  std::string entry;  // the text of applications/com.example.trusted.desktop
  std::optional<std::errc> refusal;
  std::vector<std::vector<std::string>> commandLines;
};

TEST_F(LaunchPolicyTest, TheTrustedDesktopEntryMakesTheCommandLinesItself) {
  const fs::path installed = temp_ / "installed/kelpword";
  fs::create_directories(installed.parent_path());
  fs::copy_file(KELPWORD_STAND_IN, installed);
  fs::copy_file(KELPWORD_STAND_IN, inbox() / "kelpword");
  const std::string a = (share() / "a.m4a").string();
  const std::string b = (share() / "b.m4a").string();
  const std::string program = installed.string();
  const EntryCase cases[] = {
      {"all files at once",
       "[Desktop Entry]\nExec=\"" + program + "\" --from-entry %F\n",
       {},
       {{program, "--from-entry", a, b}}},
      {"one program per file",
       "[Desktop Entry]\nExec=" + program + " %f\n",
       {},
       {{program, a}, {program, b}}},
      {"URLs",
       "[Desktop Entry]\nExec=" + program + " %U\n",
       {},
       {{program, "file://" + a, "file://" + b}}},
      {"hidden", "[Desktop Entry]\nHidden=true\nExec=" + program + " %F\n",
       std::errc::no_such_file_or_directory},
      {"a program where the confined side writes",
       "[Desktop Entry]\nExec=" + (inbox() / "kelpword").string() + " %F\n",
       std::errc::operation_not_permitted},
      {"an invalid Exec line", "[Desktop Entry]\nExec=" + program + " %x\n",
       std::errc::invalid_argument},
      {"a program that is missing", "[Desktop Entry]\nExec=no-such-program-anywhere %F\n",
       std::errc::no_such_file_or_directory},
  };
  const std::string entry = (applications() / "com.example.trusted.desktop").string();
  for (const auto& entryCase : cases) {
    SCOPED_TRACE(entryCase.name);
    writeFile(entry, entryCase.entry);
    try {
      const auto launch = policy().verify(entry, {a, b});
      ASSERT_FALSE(entryCase.refusal) << "accepted";
      EXPECT_TRUE(sameFile(launch.program.get(), installed));
      EXPECT_EQ(argumentsOf(launch.commandLines), entryCase.commandLines);
    } catch (const std::system_error& error) {
      ASSERT_TRUE(entryCase.refusal) << error.what();
      EXPECT_EQ(error.code(), std::make_error_code(*entryCase.refusal)) << error.what();
    }
  }
}

struct SpreadCase {
  const char* name;
  std::string application;
  std::string program;
  std::vector<std::string> before;  // the words before the files on every line
  std::vector<std::string> after;   // and after them
};

TEST_F(LaunchPolicyTest, FilesBeyondTheRoomSpreadOverCommandLinesOfTheOneProgram) {
  const fs::path installed = temp_ / "installed/kelpword";
  fs::create_directories(installed.parent_path());
  fs::copy_file(KELPWORD_STAND_IN, installed);
  const std::string entry = (applications() / "com.example.trusted.desktop").string();
  writeFile(entry, "[Desktop Entry]\nExec=" + installed.string() + " --from-entry %F --last\n");
  const std::string bundleProgram = (temp_ / "Apps/KelpWord.app/Contents/MacOS/KelpWord").string();
  const SpreadCase cases[] = {
      {.name = "a bundle",
       .application = (temp_ / "Apps/KelpWord.app").string(),
       .program = bundleProgram,
       .before = {bundleProgram},
       .after = {}},
      {.name = "a desktop entry with %F",
       .application = entry,
       .program = installed.string(),
       .before = {installed.string(), "--from-entry"},
       .after = {"--last"}},
  };
  std::vector<std::string> files;
  for (const char* name : {"a.m4a", "b.m4a", "c.m4a"}) files.push_back((share() / name).string());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t room = sizeof(char*) + 2 * platform::argumentSize(files[0]);
    for (const auto& word : c.before) room += platform::argumentSize(word);
    for (const auto& word : c.after) room += platform::argumentSize(word);

    const auto launch = policy().verify(c.application, files, room);

    EXPECT_TRUE(sameFile(launch.program.get(), c.program));
    const std::vector<platform::FileCommandLine> expected{{c.before, {files[0], files[1]}, c.after},
                                                          {c.before, {files[2]}, c.after}};
    EXPECT_EQ(launch.commandLines, expected);
  }
}

TEST_F(LaunchPolicyTest, OnlyTheEntryTheWorkspaceFindsForTheTrustedApplication) {
  const std::string good = "[Desktop Entry]\nExec=/bin/true %F\n";
  writeFile(applications() / "com.example.trusted.desktop", good);
  writeFile(applications() / "other.desktop", good);
  writeFile(inbox() / "applications/com.example.trusted.desktop", good);
  const std::vector<std::string> files{(share() / "a.m4a").string()};

  EXPECT_NO_THROW(
      policy().verify((applications() / "com.example.trusted.desktop").string(), files));
  for (const auto& named :
       {applications() / "other.desktop", inbox() / "applications/com.example.trusted.desktop"}) {
    SCOPED_TRACE(named);
    EXPECT_THROW(policy().verify(named.string(), files), std::system_error);
  }

  // An application folder where the confined side writes, looked in first, holds the entry the
  // workspace would find: refused, and the one behind it is not the workspace's either.
  platform::LaunchTrust trust{
      .applicationIdentifier = identifier,
      .applicationFolders = {Url::fileURL((inbox() / "applications").string(), true),
                             Url::fileURL(applications().string(), true)},
      .shareFolders = {inbox().string()},
      .untrusted = {inbox().string()},
  };
  const platform::LaunchPolicy inboxFirst(trust);
  for (const auto& named : {inbox() / "applications/com.example.trusted.desktop",
                            applications() / "com.example.trusted.desktop"}) {
    SCOPED_TRACE(named);
    try {
      inboxFirst.verify(named.string(), files);
      ADD_FAILURE() << "accepted";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::errc::operation_not_permitted) << error.what();
    }
  }
}

}  // namespace
}  // namespace sandbox_test
