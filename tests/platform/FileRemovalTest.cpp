#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <stdio.h>

#include "platform/FileManager.hpp"
#include "tests/support/Mounts.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/Unremovable.hpp"
#include "tests/support/Urls.hpp"

namespace {

namespace fs = std::filesystem;
using platform::Url;
using platform::fileManager::removeItem;
using testing_support::fileURL;
using testing_support::folderURL;
using testing_support::namesIn;
using testing_support::readFile;
using testing_support::TempFolder;
using testing_support::writeFile;

// The error code removeItem throws, or 0 when it succeeds.
int removalError(const Url& url) {
  try {
    removeItem(url);
    return 0;
  } catch (const std::system_error& error) {
    return error.code().value();
  }
}

// Everything below `root`, as relative paths with the file contents and link targets, so that a
// test can tell that nothing there changed.
std::vector<std::string> snapshot(const fs::path& root) {
  std::vector<std::string> lines;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string line = fs::relative(item.path(), root).string();
    if (item.is_symlink()) {
      line += " -> " + fs::read_symlink(item.path()).string();
    } else if (item.is_regular_file()) {
      line += ": " + readFile(item.path());
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

class FileRemovalTest : public ::testing::Test {
 protected:
  TempFolder temp;
  fs::path outside = temp / "outside";

  void SetUp() override {
    writeFile(outside / "precious.m4a", "keep me");
    writeFile(outside / "deeper" / "notes.txt", "and me");
  }
};

TEST_F(FileRemovalTest, RemovesEachKindOfItemAndNothingBeside) {
  struct Case {
    const char* what;
    void (*make)(const fs::path& item);
    bool isDirectory;
  };
  const Case cases[] = {
      {"a file", [](const fs::path& item) { writeFile(item, "x"); }, false},
      {"an empty folder", [](const fs::path& item) { fs::create_directory(item); }, true},
      {"a folder tree with hidden entries",
       [](const fs::path& item) {
         writeFile(item / "a.m4a", "a");
         writeFile(item / ".hidden", "h");
         writeFile(item / "sub" / "deeper" / "b.m4a", "b");
         fs::create_directories(item / ".hidden folder" / "empty");
       },
       true},
      {"a fifo", [](const fs::path& item) { ASSERT_EQ(::mkfifo(item.c_str(), 0600), 0); }, false},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    const fs::path item = temp / "item";
    testCase.make(item);
    writeFile(temp / "item sibling", "stays");

    EXPECT_EQ(removalError(Url::fileURL(item.string(), testCase.isDirectory)), 0);

    EXPECT_FALSE(fs::exists(fs::symlink_status(item)));
    EXPECT_EQ(readFile(temp / "item sibling"), "stays");
  }
}

TEST_F(FileRemovalTest, LinksAreRemovedNeverFollowed) {
  const auto before = snapshot(outside);
  // A folder holding links out of it: to a folder, to a file, and one that dangles.
  const fs::path folder = temp / "entry";
  writeFile(folder / "own.m4a", "own");
  fs::create_directory_symlink(outside, folder / "to folder");
  fs::create_symlink(outside / "precious.m4a", folder / "to file");
  fs::create_symlink(temp / "nowhere", folder / "dangling");
  fs::create_directory(folder / "sub");
  fs::create_directory_symlink(outside / "deeper", folder / "sub" / "to deeper");
  // Items that are themselves links, named as folders or as files.
  fs::create_directory_symlink(outside, temp / "link to folder");
  fs::create_symlink(outside / "precious.m4a", temp / "link to file");

  EXPECT_EQ(removalError(folderURL(folder)), 0);
  EXPECT_EQ(removalError(folderURL(temp / "link to folder")), 0);
  EXPECT_EQ(removalError(fileURL(temp / "link to file")), 0);

  EXPECT_EQ(namesIn(temp.path()), std::vector<std::string>{"outside"});
  EXPECT_EQ(snapshot(outside), before);
}

TEST_F(FileRemovalTest, ReportsWhatCannotGo) {
  struct Case {
    const char* what;
    fs::path item;
    int error;
  };
  writeFile(temp / "file", "x");
  const Case cases[] = {
      {"nothing there", temp / "missing", ENOENT},
      {"below a file", temp / "file" / "inside", ENOTDIR},
      {"a path ending in ..", temp / "outside" / "..", EINVAL},
      {"the root", "/", EINVAL},
      {"a path with a NUL after an existing item",
       temp.path().string() + std::string("/file\0x", 7), EINVAL},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    EXPECT_EQ(removalError(folderURL(testCase.item)), testCase.error);
  }
  EXPECT_EQ(namesIn(temp.path()), (std::vector<std::string>{"file", "outside"}));
}

// A file that cannot go leaves its folder (and the folders above it) in place with the system's
// error, but everything else that can go is gone.
TEST_F(FileRemovalTest, GoesOnPastWhatCannotGoAndReportsIt) {
  const fs::path folder = temp / "entry";
  for (int i = 0; i < 20; ++i) writeFile(folder / ("before or after " + std::to_string(i)), "x");
  writeFile(folder / "sub" / "file", "x");
  const testing_support::Unremovable blocker(folder / "stuck");
  if (!blocker.ok()) GTEST_SKIP() << blocker.why();

  EXPECT_EQ(removalError(folderURL(folder)), blocker.expectedError());

  EXPECT_EQ(namesIn(folder), std::vector<std::string>{"stuck"});
  EXPECT_EQ(namesIn(folder / "stuck"), std::vector<std::string>{"locked"});
}

// What is mounted inside a folder is not the folder's to remove.
TEST_F(FileRemovalTest, DoesNotEnterMountPoints) {
  const fs::path mountPoint = temp / "entry" / "mounted";
  const auto mount = testing_support::ScopedMount::tinyTmpfs(mountPoint, 1 << 20);
  if (!mount.ok()) GTEST_SKIP() << mount.why();
  writeFile(mountPoint / "data", "other file system");

  EXPECT_EQ(removalError(folderURL(temp / "entry")), EBUSY);

  EXPECT_EQ(readFile(mountPoint / "data"), "other file system");
}

// Folders inside the tree keep turning into links out of it while the removal runs: whatever the
// removal meets, nothing outside may change.
TEST_F(FileRemovalTest, LinksSwappedInDuringRemovalAreNotFollowed) {
  const auto before = snapshot(outside);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const fs::path folder = temp / "entry";
    for (int i = 0; i < 8; ++i) {
      const fs::path sub = folder / ("sub" + std::to_string(i));
      for (int j = 0; j < 25; ++j) writeFile(sub / ("file" + std::to_string(j)), "x");
      fs::create_directory_symlink(outside, folder / ("link" + std::to_string(i)));
    }
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      while (!done) {
        for (int i = 0; i < 8; ++i) {
          const std::string sub = (folder / ("sub" + std::to_string(i))).string();
          const std::string link = (folder / ("link" + std::to_string(i))).string();
          ::renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
        }
      }
    });
    // Failures are allowed here (a name may change kind between two steps); following is not.
    try {
      removeItem(folderURL(folder));
    } catch (const std::system_error&) {
    }
    done = true;
    swapper.join();
    ASSERT_EQ(snapshot(outside), before);
    fs::remove_all(folder);
  }
}

}  // namespace
