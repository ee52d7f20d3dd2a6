#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/FileManager.hpp"
#include "tests/support/RefusedSystemCalls.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/Unremovable.hpp"
#include "tests/support/Urls.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;
using DidedaZiv::AudioIntake::sweep;
using platform::Url;
using std::chrono::seconds;
using testing_support::fileURL;
using testing_support::folderURL;
using testing_support::namesIn;
using testing_support::readFile;
using testing_support::TempFolder;
using testing_support::writeFile;

using Names = std::vector<std::string>;

constexpr double kHour = 3600;

// The dates of one entry as the platform reads them: what the sweep sees.
platform::fileManager::DirectoryEntry listed(const fs::path& entry) {
  for (auto& found : platform::fileManager::contentsOfDirectory(folderURL(entry.parent_path()))) {
    if (found.url.lastPathComponent() == entry.filename().string()) return found;
  }
  throw std::runtime_error("not listed: " + entry.string());
}

Clock::time_point newestDate(const fs::path& entry) {
  const auto found = listed(entry);
  return std::max(found.creationDate.value_or(Clock::time_point::min()),
                  found.modificationDate.value_or(Clock::time_point::min()));
}

// The newest date of any entry of `folder`.
Clock::time_point newestOfAll(const fs::path& folder) {
  auto newest = Clock::time_point::min();
  for (const auto& name : namesIn(folder)) newest = std::max(newest, newestDate(folder / name));
  return newest;
}

// Whether the file system holding `item` keeps creation dates, asked of the kernel itself rather
// than of the code under test, which might fail to read them.
bool keepsCreationDates(const fs::path& item) {
  struct statx info {};
  return ::statx(AT_FDCWD, item.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &info) == 0 &&
         (info.stx_mask & STATX_BTIME) != 0;
}

void setModified(const fs::path& item, Clock::time_point when) {
  const auto sinceEpoch = when.time_since_epoch();
  const auto wholeSeconds = std::chrono::floor<seconds>(sinceEpoch);
  const struct timespec times[2] = {
      {0, UTIME_OMIT},
      {wholeSeconds.count(), std::chrono::nanoseconds(sinceEpoch - wholeSeconds).count()}};
  ASSERT_EQ(::utimensat(AT_FDCWD, item.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << item;
}

// A per-share folder holding one recording, as the share extension leaves them.
void makeEntry(const fs::path& entry) { writeFile(entry / "Interview.m4a", "audio"); }

TEST(SweepTest, AFolderThatCannotBeListedIsLeftAlone) {
  TempFolder temp;
  writeFile(temp / "a file", "x");
  const auto farFuture = Clock::now() + std::chrono::hours(24 * 365);

  sweep(folderURL(temp / "missing"), 0, {}, farFuture);
  sweep(folderURL(temp / "a file"), 0, {}, farFuture);

  EXPECT_EQ(namesIn(temp.path()), Names{"a file"});
}

// Ages are measured from the newest date the platform reports for the entry; creation dates
// cannot be set, so each case places `now` relative to the dates read back.
TEST(SweepTest, RemovesOnlyEntriesStrictlyOlderThanTheLimit) {
  enum class Modified { asCreated, longBeforeCreation, afterCreation };
  struct Case {
    const char* what;
    Modified modified;
    double olderThan;
    Clock::duration age;  // of the entry's newest date, as `now` is placed
    bool removed;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"exactly the limit stays", Modified::asCreated, kHour, seconds(3600), false},
      {"one second older goes", Modified::asCreated, kHour, seconds(3601), true},
      {"one nanosecond older goes", Modified::asCreated, kHour,
       seconds(3600) + std::chrono::nanoseconds(1), true},
      {"modified long before creation: judged by creation, stays", Modified::longBeforeCreation, 60,
       seconds(60), false},
      {"modified long before creation: judged by creation, goes", Modified::longBeforeCreation, 59,
       seconds(60), true},
      {"modified after creation: judged by modification, stays", Modified::afterCreation, 60,
       seconds(60), false},
      {"modified after creation: judged by modification, goes", Modified::afterCreation, 59,
       seconds(60), true},
      {"dates after now, limit 0", Modified::asCreated, 0, -seconds(100), false},
      {"dates after now, negative limit above the age", Modified::asCreated, -50, -seconds(100),
       false},
      {"dates after now, negative limit below the age", Modified::asCreated, -101, -seconds(100),
       true},
      {"age 0, limit 0", Modified::asCreated, 0, seconds(0), false},
      {"age 0, limit -1", Modified::asCreated, -1, seconds(0), true},
      {"NaN keeps everything", Modified::asCreated, nan, std::chrono::hours(24 * 365), false},
      {"an infinite limit keeps everything", Modified::asCreated, infinity,
       std::chrono::hours(24 * 365), false},
      {"a limit of minus infinity takes everything", Modified::asCreated, -infinity,
       -std::chrono::hours(24 * 365), true},
  };
  std::vector<std::string> skipped;
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    TempFolder inbox;
    const fs::path entry = inbox / "ENTRY";
    makeEntry(entry);
    const auto listedEntry = listed(entry);
    if (testCase.modified != Modified::asCreated) {
      if (!keepsCreationDates(entry)) {
        skipped.emplace_back(testCase.what);
        continue;
      }
      ASSERT_TRUE(listedEntry.creationDate) << "the file system keeps it, the listing lost it";
    }
    if (testCase.modified == Modified::longBeforeCreation) {
      setModified(entry, *listedEntry.creationDate - std::chrono::hours(24 * 30));
      ASSERT_EQ(newestDate(entry), *listedEntry.creationDate);
    } else if (testCase.modified == Modified::afterCreation) {
      setModified(entry, *listedEntry.creationDate + std::chrono::hours(24 * 30));
      ASSERT_GT(newestDate(entry), *listedEntry.creationDate);
    }

    sweep(inbox.url(), testCase.olderThan, {}, newestDate(entry) + testCase.age);

    EXPECT_EQ(fs::exists(entry), !testCase.removed);
  }
  if (!skipped.empty()) {
    GTEST_SKIP() << skipped.size() << " cases need creation dates, which this file system lacks";
  }
}

TEST(SweepTest, TakesEveryKindOfOldEntryHiddenOnesIncluded) {
  TempFolder temp;
  const fs::path inbox = temp / "inbox";
  makeEntry(inbox / "A");
  makeEntry(inbox / ".hidden share");
  writeFile(inbox / ".DS_Store", "x");
  writeFile(inbox / "loose.m4a", "x");
  fs::create_directory(inbox / "empty");
  fs::create_directory_symlink(temp / "nowhere", inbox / "dangling link");

  sweep(folderURL(inbox), kHour, {}, newestOfAll(inbox) + seconds(3601));

  EXPECT_EQ(namesIn(inbox), Names{});
}

// An entry whose dates cannot be read counts as made now: it stays, however late the sweep. The
// kernel refuses to examine it, as it does an entry of a folder that may be listed but not
// searched.
TEST(SweepTest, AnEntryWhoseDatesCannotBeReadStays) {
  TempFolder temp;
  const fs::path inbox = temp / "inbox";
  makeEntry(inbox / "A");
  const auto late = newestOfAll(inbox) + std::chrono::hours(24 * 365);

  const int status = testing_support::runInChild([&] {
    // The listing examines each entry without following it; removal looks by other calls.
    if (!testing_support::refuseSystemCalls({{.call = __NR_statx,
                                              .error = EACCES,
                                              .match = testing_support::Match::anyBitOf,
                                              .argument = 2,
                                              .value = AT_SYMLINK_NOFOLLOW}})) {
      return 125;
    }
    const auto entries = platform::fileManager::contentsOfDirectory(folderURL(inbox));
    if (entries.size() != 1 || entries[0].creationDate || entries[0].modificationDate) return 124;
    sweep(folderURL(inbox), kHour, {}, late);
    return 0;
  });
  ASSERT_LT(status, 128) << "ended by signal " << status - 128;
  if (status == 125) GTEST_SKIP() << "this machine does not let a process filter calls";
  ASSERT_EQ(status, 0) << "124: the dates could be read; 127: the sweep threw";
  EXPECT_EQ(namesIn(inbox), Names{"A"});

  // Once they can be read, it is old enough to go.
  sweep(folderURL(inbox), kHour, {}, late);
  EXPECT_EQ(namesIn(inbox), Names{});
}

// Old entries that hold a kept location stay; the kept locations are spelled in several ways.
TEST(SweepTest, SparesEntriesHoldingAKeptLocation) {
  struct Case {
    const char* what;
    Names entries;  // per-share folders in the inbox
    Names kept;     // relative to the test's folder; a trailing "/" marks a folder
    Names remaining;
  };
  const Case cases[] = {
      {"nothing kept", {"A", "B"}, {}, {}},
      {"a file directly inside", {"A", "B"}, {"inbox/A/Interview.m4a"}, {"A"}},
      {"a file deeply inside", {"A", "A/x/y", "B"}, {"inbox/A/x/y/Interview.m4a"}, {"A"}},
      {"a folder inside", {"A/x"}, {"inbox/A/x/"}, {"A"}},
      {"a kept location not on disk", {"A"}, {"inbox/A/gone.m4a"}, {"A"}},
      {"a sibling whose name extends the entry's",
       {"AB", "ABC"},
       {"inbox/ABC/Interview.m4a"},
       {"ABC"}},
      {"the entry itself", {"A", "B"}, {"inbox/A/", "inbox/B"}, {}},
      {"the inbox itself", {"A"}, {"inbox/"}, {}},
      {"through a linked parent folder", {"A", "B"}, {"alias/A/Interview.m4a"}, {"A"}},
      {"with ..", {"A", "B"}, {"inbox/B/../A/Interview.m4a"}, {"A"}},
      {"with .. through a missing folder", {"A", "B"}, {"inbox/nothing/../A/Interview.m4a"}, {"A"}},
      {"with .", {"A", "B"}, {"inbox/./A/./Interview.m4a"}, {"A"}},
      {"decomposed kept, precomposed entry",
       {"Caf\u00e9", "B"},
       {"inbox/Cafe\u0301/Interview.m4a"},
       {"Caf\u00e9"}},
      {"precomposed kept, decomposed entry",
       {"Cafe\u0301", "B"},
       {"inbox/Caf\u00e9/Interview.m4a"},
       {"Cafe\u0301"}},
      {"several kept, in no order",
       {"A", "B", "C", "D"},
       {"inbox/D/Interview.m4a", "elsewhere/x", "inbox/B/Interview.m4a", "inbox/B/Interview.m4a"},
       {"B", "D"}},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.what);
    TempFolder temp;
    const fs::path inbox = temp / "inbox";
    for (const auto& entry : testCase.entries) makeEntry(inbox / entry);
    fs::create_directory_symlink(inbox, temp / "alias");
    std::vector<Url> kept;
    for (const auto& location : testCase.kept) {
      const fs::path path = temp / location;
      kept.push_back(location.ends_with('/') ? folderURL(path) : fileURL(path));
    }

    sweep(folderURL(inbox), kHour, kept, newestOfAll(inbox) + seconds(3601));

    EXPECT_EQ(namesIn(inbox), testCase.remaining);
  }
}

// An entry that is a link to a folder is judged by where it leads: a kept location there spares
// the link; otherwise the old link goes, and never what it leads to.
TEST(SweepTest, AnOldLinkToAFolderStaysWhileTheFolderHoldsAKeptLocation) {
  TempFolder temp;
  const fs::path inbox = temp / "inbox";
  makeEntry(temp / "elsewhere/kept");
  makeEntry(temp / "elsewhere/free");
  fs::create_directories(inbox);
  fs::create_directory_symlink(temp / "elsewhere/kept", inbox / "to kept");
  fs::create_directory_symlink(temp / "elsewhere/free", inbox / "to free");

  sweep(folderURL(inbox), kHour, {fileURL(temp / "elsewhere/kept/Interview.m4a")},
        newestOfAll(inbox) + seconds(3601));

  EXPECT_EQ(namesIn(inbox), Names{"to kept"});
  EXPECT_EQ(readFile(temp / "elsewhere/free/Interview.m4a"), "audio");
}

// The swept folder and the kept locations meet only through their resolved spellings.
TEST(SweepTest, FolderSpelledThroughALinkMeetsKeptLocationsSpelledDirectly) {
  TempFolder temp;
  const fs::path inbox = temp / "real inbox";
  makeEntry(inbox / "A");
  makeEntry(inbox / "B");
  fs::create_directory_symlink(inbox, temp / "alias");

  sweep(folderURL(temp / "alias" / ".." / "alias"), kHour, {fileURL(inbox / "A" / "Interview.m4a")},
        newestOfAll(inbox) + seconds(3601));

  EXPECT_EQ(namesIn(inbox), Names{"A"});
}

TEST(SweepTest, AnEntryThatCannotGoDoesNotStopTheOthers) {
  TempFolder temp;
  const fs::path inbox = temp / "inbox";
  for (int i = 0; i < 20; ++i) makeEntry(inbox / ("share " + std::to_string(i)));
  const testing_support::Unremovable blocker(inbox / "stuck");
  if (!blocker.ok()) GTEST_SKIP() << blocker.why();
  // Entries are visited in listing order: make sure some come after the one that fails.
  for (int more = 20; platform::fileManager::contentsOfDirectory(folderURL(inbox))
                          .back()
                          .url.lastPathComponent() == "stuck";
       ++more) {
    ASSERT_LT(more, 200);
    makeEntry(inbox / ("share " + std::to_string(more)));
  }

  sweep(folderURL(inbox), kHour, {}, newestOfAll(inbox) + seconds(3601));

  EXPECT_EQ(namesIn(inbox), Names{"stuck"});
}

TEST(SweepTest, OldEntryHoldingLinksOutOfTheInboxGoesAndWhatTheyPointAtStays) {
  TempFolder temp;
  const fs::path inbox = temp / "inbox";
  const fs::path outside = temp / "Recordings";
  writeFile(outside / "Interview.m4a", "precious");
  writeFile(outside / "Older" / "Talk.m4a", "precious too");
  makeEntry(inbox / "A");
  fs::create_directory_symlink(outside, inbox / "A" / "link to folder");
  fs::create_symlink(outside / "Interview.m4a", inbox / "A" / "link to file");
  fs::create_directory_symlink(outside, inbox / "entry that is a link");

  sweep(folderURL(inbox), kHour, {}, newestOfAll(inbox) + seconds(3601));

  EXPECT_EQ(namesIn(inbox), Names{});
  EXPECT_EQ(namesIn(outside), (Names{"Interview.m4a", "Older"}));
  EXPECT_EQ(readFile(outside / "Interview.m4a"), "precious");
  EXPECT_EQ(readFile(outside / "Older" / "Talk.m4a"), "precious too");
}

}  // namespace
