#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/FileManager.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/Urls.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;
using platform::Url;
using platform::fileManager::contentsOfDirectory;
using platform::fileManager::DirectoryEntry;
using testing_support::folderURL;
using testing_support::TempFolder;
using testing_support::writeFile;

std::map<std::string, DirectoryEntry> byName(const std::vector<DirectoryEntry>& entries) {
  std::map<std::string, DirectoryEntry> named;
  for (const auto& entry : entries) named.emplace(entry.url.lastPathComponent(), entry);
  return named;
}

ino_t inodeOf(const Url& item) {
  struct stat status {};
  return ::lstat(item.path().c_str(), &status) == 0 ? status.st_ino : 0;
}

Clock::time_point timePoint(const struct statx_timestamp& stamp) {
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
}

// Sets the item's own modification time (a link's, not its target's), to the nanosecond.
void setModified(const fs::path& item, long seconds, long nanoseconds) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, item.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << item;
}

TEST(DirectoryContentsTest, ListsDirectEntriesJudgedByThemselves) {
  TempFolder temp;
  const fs::path folder = temp / "inbox";
  writeFile(folder / "file.m4a", "x");
  writeFile(folder / ".hidden", "x");
  writeFile(folder / "folder" / "deeper.m4a", "x");
  fs::create_directory_symlink(folder / "folder", folder / "link to folder");
  fs::create_symlink(temp / "nowhere", folder / "dangling");

  for (const Url& spelled : {folderURL(folder), Url::fileURL(folder.string(), false)}) {
    SCOPED_TRACE(spelled.absoluteString());
    const auto entries = byName(contentsOfDirectory(spelled));
    ASSERT_EQ(entries.size(), 5u);
    struct Expected {
      const char* name;
      bool isDirectory;
    };
    for (const auto& expected :
         {Expected{"file.m4a", false}, Expected{".hidden", false}, Expected{"folder", true},
          Expected{"link to folder", false}, Expected{"dangling", false}}) {
      SCOPED_TRACE(expected.name);
      ASSERT_EQ(entries.count(expected.name), 1u);
      const Url& url = entries.at(expected.name).url;
      EXPECT_EQ(url, Url::fileURL((folder / expected.name).string(), expected.isDirectory));
      EXPECT_TRUE(entries.at(expected.name).modificationDate.has_value());
    }
  }
}

TEST(DirectoryContentsTest, ListsEntriesInInodeOrderNotTheFileSystemsOwn) {
  // Enough entries that ext4 lists them by name hash; tmpfs lists the newest first.
  TempFolder temp;
  for (int i = 0; i < 300; ++i) writeFile(temp / ("Recording " + std::to_string(i) + ".m4a"), "");
  const auto listed = contentsOfDirectory(temp.url());
  ASSERT_EQ(listed.size(), 300u);
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end(), [](const auto& a, const auto& b) {
    return inodeOf(a.url) < inodeOf(b.url);
  }));
}

TEST(DirectoryContentsTest, ReadsEachEntrysOwnDates) {
  TempFolder temp;
  const auto before = Clock::now();
  writeFile(temp / "file.m4a", "x");
  writeFile(temp / "target.m4a", "x");
  fs::create_directory(temp / "folder");
  fs::create_symlink(temp / "target.m4a", temp / "link");
  const auto after = Clock::now();
  setModified(temp / "file.m4a", 1'000'000'000, 123'456'789);
  setModified(temp / "folder", 1'000'000'100, 1);
  setModified(temp / "target.m4a", 1'500'000'000, 0);
  setModified(temp / "link", 1'200'000'000, 999'999'999);

  const auto entries = byName(contentsOfDirectory(temp.url()));

  struct Expected {
    const char* name;
    Clock::time_point modified;
  };
  using std::chrono::nanoseconds;
  using std::chrono::seconds;
  for (const auto& expected : {
           Expected{"file.m4a",
                    Clock::time_point(seconds(1'000'000'000) + nanoseconds(123'456'789))},
           Expected{"folder", Clock::time_point(seconds(1'000'000'100) + nanoseconds(1))},
           Expected{"link", Clock::time_point(seconds(1'200'000'000) + nanoseconds(999'999'999))},
       }) {
    SCOPED_TRACE(expected.name);
    const auto& entry = entries.at(expected.name);
    EXPECT_EQ(entry.modificationDate, expected.modified);

    struct statx status {};
    ASSERT_EQ(::statx(AT_FDCWD, (temp / expected.name).c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME,
                      &status),
              0);
    if ((status.stx_mask & STATX_BTIME) == 0) {
      EXPECT_FALSE(entry.creationDate.has_value());
      continue;
    }
    ASSERT_TRUE(entry.creationDate.has_value());
    EXPECT_EQ(*entry.creationDate, timePoint(status.stx_btime));
    // File-system clocks may lag the system clock by a tick.
    EXPECT_GE(*entry.creationDate, before - std::chrono::milliseconds(20));
    EXPECT_LE(*entry.creationDate, after);
  }
}

TEST(DirectoryContentsTest, FailsWithTheSystemsErrorWhenTheFolderCannotBeListed) {
  TempFolder temp;
  writeFile(temp / "file", "x");
  struct Case {
    const char* what;
    fs::path folder;
    int error;
  };
  for (const auto& testCase :
       {Case{"missing", temp / "missing", ENOENT}, Case{"a file", temp / "file", ENOTDIR},
        Case{"a NUL after an existing folder", temp.path().string() + std::string("\0x", 2),
             EINVAL}}) {
    SCOPED_TRACE(testCase.what);
    try {
      contentsOfDirectory(folderURL(testCase.folder));
      ADD_FAILURE() << "listed";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code().value(), testCase.error);
    }
  }
}

}  // namespace
