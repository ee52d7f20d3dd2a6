#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/Unicode.hpp"
#include "tests/support/Mounts.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/Urls.hpp"

namespace {

namespace fs = std::filesystem;
constexpr std::size_t kibibyte = 1024;
constexpr std::size_t mebibyte = 1024 * kibibyte;
using DidedaZiv::AudioIntake::copyIn;
using testing_support::fileURL;
using testing_support::folderURL;
using testing_support::namesIn;
using testing_support::readFile;
using testing_support::writeFile;

// The error code copyIn fails with, or 0 when it succeeds.
int errorOf(const platform::Url& source, const fs::path& folder, const std::string& name) {
  try {
    copyIn(source, folderURL(folder), name);
    return 0;
  } catch (const std::system_error& error) {
    return error.code().value();
  }
}

class CopyIn : public ::testing::Test {
 protected:
  CopyIn() { writeFile(source, "recording"); }

  testing_support::TempFolder temp;
  const fs::path source = temp / "source/Take.m4a";
  const fs::path inbox = temp / "inbox";
};

TEST_F(CopyIn, CreatesTheMissingFolderAndKeepsTheNameWhenFree) {
  const fs::path folder = inbox / "A" / "B";
  const platform::Url copy = copyIn(fileURL(source), folderURL(folder), "Interview.m4a");
  EXPECT_EQ(copy, fileURL(folder / "Interview.m4a"));
  EXPECT_EQ(readFile(folder / "Interview.m4a"), "recording");
  EXPECT_THAT(namesIn(folder), ::testing::ElementsAre("Interview.m4a"));
}

TEST_F(CopyIn, TakesTheFirstFreeNumberFromTwoUpward) {
  struct Case {
    const char* name;
    std::vector<std::string> present;
    const char* expected;
  };
  const Case cases[] = {
      {"Interview.m4a", {"Interview.m4a"}, "Interview 2.m4a"},
      {"Interview.m4a", {"Interview.m4a", "Interview 3.m4a"}, "Interview 2.m4a"},
      {"Interview.m4a", {"Interview.m4a", "Interview 2.m4a", "Interview 4.m4a"}, "Interview 3.m4a"},
      {"Interview.m4a", {"Interview 2.m4a"}, "Interview.m4a"},
      {"Recording", {"Recording", "Recording 2"}, "Recording 3"},
      {"a.b.m4a", {"a.b.m4a"}, "a.b 2.m4a"},
      {"Talk.", {"Talk."}, "Talk 2"},
      {"a.b.", {"a.b."}, "a.b 2"},
      {".m4a", {".m4a"}, ".m4a 2"},
      {"Interview.m4a", {"interview.m4a"}, "Interview.m4a"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.name << " with " << ::testing::PrintToString(c.present));
    const fs::path folder = inbox / std::to_string(index++);
    for (const auto& name : c.present) writeFile(folder / name, "earlier");
    EXPECT_EQ(copyIn(fileURL(source), folderURL(folder), c.name), fileURL(folder / c.expected));
    EXPECT_EQ(readFile(folder / c.expected), "recording");
    for (const auto& name : c.present) EXPECT_EQ(readFile(folder / name), "earlier") << name;
  }
}

TEST_F(CopyIn, CountsAFolderOrADanglingLinkAtTheNameAsTaken) {
  fs::create_directories(inbox / "Interview.m4a");
  fs::create_symlink(temp / "gone", inbox / "Interview 2.m4a");
  EXPECT_EQ(copyIn(fileURL(source), folderURL(inbox), "Interview.m4a"),
            fileURL(inbox / "Interview 3.m4a"));
  EXPECT_TRUE(fs::is_empty(inbox / "Interview.m4a"));
  EXPECT_TRUE(fs::is_symlink(inbox / "Interview 2.m4a"));
  EXPECT_FALSE(fs::exists(temp / "gone"));
}

TEST_F(CopyIn, GivesASecondCopyOfOneSourceTheNextNumber) {
  const platform::Url first = copyIn(fileURL(source), folderURL(inbox), "Take.m4a");
  const platform::Url second = copyIn(fileURL(source), folderURL(inbox), "Take.m4a");
  EXPECT_EQ(first, fileURL(inbox / "Take.m4a"));
  EXPECT_EQ(second, fileURL(inbox / "Take 2.m4a"));
  EXPECT_EQ(readFile(inbox / "Take.m4a"), "recording");
  EXPECT_EQ(readFile(inbox / "Take 2.m4a"), "recording");

  const platform::Url third = copyIn(fileURL(source), folderURL(inbox), "Recording");
  const platform::Url fourth = copyIn(fileURL(source), folderURL(inbox), "Recording");
  EXPECT_EQ(third, fileURL(inbox / "Recording"));
  EXPECT_EQ(fourth, fileURL(inbox / "Recording 2"));
}

TEST_F(CopyIn, FailsWithTheSystemsErrorForAMissingSourceAndKeepsTheFolder) {
  EXPECT_EQ(errorOf(fileURL(temp / "missing.m4a"), inbox, "Take.m4a"), ENOENT);
  ASSERT_TRUE(fs::is_directory(inbox));
  EXPECT_TRUE(fs::is_empty(inbox));
}

TEST_F(CopyIn, FailsWhenTheFolderCannotBeMadeWithoutLookingFurther) {
  writeFile(temp / "file", "in the way");
  EXPECT_EQ(errorOf(fileURL(source), temp / "file" / "inbox", "Take.m4a"), ENOTDIR);
  EXPECT_EQ(readFile(temp / "file"), "in the way");
}

TEST_F(CopyIn, RefusesANameThatIsNotOneFileName) {
  using namespace std::string_literals;
  for (const std::string& name : {""s, "."s, ".."s, "../Take.m4a"s, "a/b.m4a"s, "Ta\0ke.m4a"s}) {
    SCOPED_TRACE(::testing::PrintToString(name));
    EXPECT_EQ(errorOf(fileURL(source), inbox, name), EINVAL);
  }
  EXPECT_THAT(namesIn(temp.path()), ::testing::ElementsAre("source"));
}

// The file name part of a copy, checked as a name any file system here takes.
void expectFittingName(const std::string& name) {
  EXPECT_LE(name.size(), 255u) << name;
  EXPECT_EQ(platform::unicode::repairingUtf8(name), name);
}

TEST_F(CopyIn, ShortensTheStemOfANameTooLongAtACharacterBoundary) {
  struct Case {
    const char* what;
    std::string stem;
    std::size_t characterBytes;  // every cut must fall on a multiple of this
  };
  const Case cases[] = {
      {"ASCII", std::string(300, 'a'), 1},
      {"two-byte letters",
       [] {
         std::string s;
         for (int i = 0; i < 200; ++i) s += "\u00E9";
         return s;
       }(),
       2},
      {"letters with a combining mark",
       [] {
         std::string s;
         for (int i = 0; i < 100; ++i) s += "e\u0301";
         return s;
       }(),
       3},
      {"four-byte emoji",
       [] {
         std::string s;
         for (int i = 0; i < 70; ++i) s += "\U0001F3A4";
         return s;
       }(),
       4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = inbox / c.what;
    const std::string name = c.stem + ".m4a";
    for (const char* number : {"", " 2", " 3"}) {
      SCOPED_TRACE(number);
      const std::string copied =
          copyIn(fileURL(source), folderURL(folder), name).lastPathComponent();
      expectFittingName(copied);
      const std::string suffix = std::string(number) + ".m4a";
      ASSERT_TRUE(copied.ends_with(suffix)) << copied;
      const std::string stem = copied.substr(0, copied.size() - suffix.size());
      EXPECT_TRUE(c.stem.starts_with(stem));
      EXPECT_EQ(stem.size() % c.characterBytes, 0u);
      EXPECT_GT(stem.size() + suffix.size(), 255 - c.characterBytes);
      EXPECT_EQ(readFile(folder / copied), "recording");
    }
    EXPECT_EQ(namesIn(folder).size(), 3u);
  }
}

TEST_F(CopyIn, LeavesANameThatFitsAsItIs) {
  const std::string name = std::string(251, 'x') + ".m4a";  // 255 bytes
  EXPECT_EQ(copyIn(fileURL(source), folderURL(inbox), name).lastPathComponent(), name);
  // Numbered, it no longer fits: only then is the stem cut.
  EXPECT_EQ(copyIn(fileURL(source), folderURL(inbox), name).lastPathComponent(),
            std::string(249, 'x') + " 2.m4a");
}

TEST_F(CopyIn, ShortensAnOverlongExtensionWithTheName) {
  const std::string name = "Talk." + std::string(300, 'p');
  const std::string copied = copyIn(fileURL(source), folderURL(inbox), name).lastPathComponent();
  expectFittingName(copied);
  EXPECT_EQ(copied, name.substr(0, 255));
}

TEST_F(CopyIn, FailsOnAFullDiskAndLeavesTheFolderAsItWas) {
  auto disk = testing_support::ScopedMount::tinyTmpfs(temp / "disk", 64 * kibibyte);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  const fs::path folder = temp / "disk" / "inbox";
  writeFile(folder / "Take.m4a", "earlier");
  writeFile(source, std::string(mebibyte, 'r'));

  EXPECT_EQ(errorOf(fileURL(source), folder, "Take.m4a"), ENOSPC);
  EXPECT_THAT(namesIn(folder), ::testing::ElementsAre("Take.m4a"));
  EXPECT_EQ(readFile(folder / "Take.m4a"), "earlier");
}

TEST_F(CopyIn, FailsInAReadOnlyFolderAndLeavesItAsItWas) {
  writeFile(inbox / "Take.m4a", "earlier");
  auto readOnly = testing_support::ScopedMount::readOnlyBind(inbox);
  if (!readOnly.ok()) GTEST_SKIP() << readOnly.why();

  EXPECT_EQ(errorOf(fileURL(source), inbox, "Take.m4a"), EROFS);
  EXPECT_EQ(errorOf(fileURL(source), inbox / "New", "Take.m4a"), EROFS);
  EXPECT_THAT(namesIn(inbox), ::testing::ElementsAre("Take.m4a"));
  EXPECT_EQ(readFile(inbox / "Take.m4a"), "earlier");
}

TEST_F(CopyIn, RacingCopiesUnderOneNameNeverReplaceOrLoseAFile) {
  constexpr int threads = 8;
  constexpr int rounds = 20;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    const fs::path folder = inbox / std::to_string(round);
    writeFile(folder / "Take.m4a", "earlier");
    std::vector<std::string> contents;
    for (int t = 0; t < threads; ++t) {
      contents.push_back("copy of thread " + std::to_string(t) +
                         std::string(4 * kibibyte * static_cast<std::size_t>(t), '.'));
      writeFile(temp / "sources" / std::to_string(t), contents.back());
    }

    std::vector<std::optional<platform::Url>> copies(threads);
    std::vector<int> errors(threads, 0);
    {
      std::vector<std::jthread> workers;
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
          try {
            copies[t] = copyIn(fileURL(temp / "sources" / std::to_string(t)), folderURL(folder),
                               "Take.m4a");
          } catch (const std::system_error& error) {
            errors[t] = error.code().value();
          }
        });
      }
    }

    std::set<std::string> names;
    for (int t = 0; t < threads; ++t) {
      if (copies[t]) {
        EXPECT_TRUE(names.insert(copies[t]->lastPathComponent()).second)
            << "two copies share a name";
        EXPECT_EQ(readFile(copies[t]->path()), contents[t]) << "thread " << t;
      } else {
        EXPECT_EQ(errors[t], EEXIST) << "thread " << t;
      }
    }
    EXPECT_EQ(std::count(errors.begin(), errors.end(), 0), threads)
        << "a copy gave up on a name another took while it ran, instead of taking the next";
    names.insert("Take.m4a");
    EXPECT_EQ(readFile(folder / "Take.m4a"), "earlier");
    const auto present = namesIn(folder);
    EXPECT_EQ(std::set<std::string>(present.begin(), present.end()), names)
        << "a file appeared that no copy reported, or a temporary was left";
  }
}

}  // namespace
