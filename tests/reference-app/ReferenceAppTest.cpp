// kelpword-reference as a user meets it, on the tests' own X server: files dragged from another
// application's window, and the sweep at start.
#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "DidedaZiv/AudioIntake.hpp"
#include "tests/reference-app/ReferenceAppFixture.hpp"

namespace reference_test {
namespace {

using testing_support::namesIn;
using testing_support::readFile;

constexpr std::string_view kNotAudio = DidedaZiv::AudioIntake::notAudioMessage;

// What a drag source offers, and what should come of the drop.
struct DragCase {
  std::string what;
  std::vector<std::string> files;  // dragged, in order, from the source's folder
  std::string dataType;            // with a type: the first file's bytes as data of that type
  Names received;                  // names in one new per-share folder, in order
  Names problems;
};

TEST_F(ReferenceAppTest, DropsFromAnotherApplicationLandInNewShareFolders) {
  const fs::path offered = temp_ / "offered";
  writeFile(offered / "Interview.m4a", "an interview, as audio");
  writeFile(offered / "Memo.wav", "a memo, as audio");
  writeFile(offered / "notes.txt", "some notes");

  const std::vector<DragCase> cases{
      {"a recording", {"Interview.m4a"}, "", {"Interview.m4a"}, {}},
      {"a text file", {"notes.txt"}, "", {}, {std::string(kNotAudio)}},
      {"two recordings at once",
       {"Interview.m4a", "Memo.wav"},
       "",
       {"Interview.m4a", "Memo.wav"},
       {}},
      {"a recording and a text file",
       {"notes.txt", "Memo.wav"},
       "",
       {"Memo.wav"},
       {std::string(kNotAudio)}},
      // Raw data has no name of its own: it is named after its type.
      {"raw audio data", {"Interview.m4a"}, "audio/mp4", {"Recording.m4a"}, {}},
  };

  auto app = startApp({});
  const auto window = windowOf(*app);
  ASSERT_TRUE(window) << app->errors();
  Shown before = shownIn(app->output());
  for (const auto& drag : cases) {
    SCOPED_TRACE(drag.what);
    std::vector<std::string> source;
    if (drag.dataType.empty()) {
      source.emplace_back("--files");
      for (const auto& file : drag.files) source.push_back((offered / file).string());
    } else {
      source = {"--data", drag.dataType, (offered / drag.files.front()).string()};
    }
    const auto foldersBefore = namesIn(inbox());

    dragOnto(*window, source);
    const auto shown = waitForShown(*app, before, drag.received.size() + drag.problems.size());
    before = shownIn(app->output());

    EXPECT_EQ(shown.problems, drag.problems) << app->errors();
    Names receivedNames;
    for (const auto& file : shown.received) receivedNames.push_back(file.filename().string());
    EXPECT_EQ(receivedNames, drag.received) << app->errors();
    if (shown.received.empty()) {
      EXPECT_EQ(namesIn(inbox()), foldersBefore) << "no folder is left for nothing received";
      continue;
    }
    // One new per-share folder for the drop, holding every file received, each a copy.
    const auto folder = shown.received.front().parent_path();
    EXPECT_EQ(folder.parent_path(), inbox());
    EXPECT_EQ(std::count(foldersBefore.begin(), foldersBefore.end(), folder.filename().string()),
              0);
    EXPECT_EQ(namesIn(folder).size(), drag.received.size());
    for (std::size_t i = 0; i < shown.received.size() && i < drag.received.size(); ++i) {
      EXPECT_EQ(shown.received[i].parent_path(), folder);
      const auto& original =
          drag.dataType.empty()
              ? offered / *std::find(drag.files.begin(), drag.files.end(), drag.received[i])
              : offered / drag.files.front();
      EXPECT_EQ(readFile(shown.received[i]), readFile(original));
    }
  }
  for (const auto& name : {"Interview.m4a", "Memo.wav", "notes.txt"}) {
    EXPECT_TRUE(fs::exists(offered / name)) << "a dropped file stays where it was: " << name;
  }
  endApp(*app);
}

TEST_F(ReferenceAppTest, SweepAtStartRemovesOldShareFoldersButNotTheOneOpened) {
  writeFile(inbox() / "OLD-SHARE/Old.m4a", "old");
  writeFile(inbox() / ".hidden-share/Old.m4a", "old");
  writeFile(inbox() / "OPENED-SHARE/Opened.m4a", "opened");
  // Beside the inbox, as old: never the sweep's.
  const auto besideInbox = inbox().parent_path() / "Settings/old.txt";
  writeFile(besideInbox, "kept");

  // Kept for no time at all: every folder is older than that unless a shown file keeps it.
  auto app = startApp({"--keep-days=0", (inbox() / "OPENED-SHARE/Opened.m4a").string()});
  ASSERT_TRUE(waitUntil([&] { return app->output().find("swept: ") != std::string::npos; }))
      << app->errors();

  EXPECT_EQ(namesIn(inbox()), Names{"OPENED-SHARE"});
  EXPECT_TRUE(fs::exists(besideInbox));
  EXPECT_EQ(shownIn(app->output()).received,
            std::vector<fs::path>{inbox() / "OPENED-SHARE/Opened.m4a"});
  endApp(*app);
}

TEST_F(ReferenceAppTest, AnInboxThatIsASymbolicLinkIsNotSwept) {
  const auto elsewhere = temp_ / "elsewhere";
  writeFile(elsewhere / "someone else's/file.m4a", "not the inbox's");
  fs::create_directories(inbox().parent_path());
  fs::create_directory_symlink(elsewhere, inbox());

  auto app = startApp({"--keep-days=0"});
  ASSERT_TRUE(waitUntil([&] { return app->errors().find("not sweeping") != std::string::npos; }))
      << app->output() << app->errors();
  EXPECT_EQ(app->output().find("swept: "), std::string::npos);

  EXPECT_EQ(namesIn(elsewhere), Names{"someone else's"});
  endApp(*app);
}

}  // namespace
}  // namespace reference_test
