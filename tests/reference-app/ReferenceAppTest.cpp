// kelpword-reference as a user meets it, on the tests' own X server: files dragged from another
// application's window (a sandboxed one's too, through the document portal), and the sweep at
// start.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <sys/mount.h>
#include <sys/vfs.h>

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

const fs::path documentPortal = "/usr/libexec/xdg-document-portal";
const fs::path permissionStore = "/usr/libexec/xdg-permission-store";
constexpr long kFuseMagic = 0x65735546;

// A sandboxed application's files reach other applications as paths in the document portal, a
// FUSE file system under $XDG_RUNTIME_DIR/doc/. The real xdg-document-portal runs on the tests'
// bus, which the drag source and the application share, in a runtime folder of the test's own.
class ReferenceAppPortalTest : public ReferenceAppTest {
 protected:
  void SetUp() override {
    ReferenceAppTest::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists(documentPortal) || !fs::exists(permissionStore)) {
      GTEST_SKIP() << "xdg-document-portal is not installed (package xdg-desktop-portal)";
    }
    if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse for the portal's file system";
    fs::create_directories(runtime());
    fs::permissions(runtime(), fs::perms::owner_all);
    // Started by the bus when first asked, in the test's world: never the real home's files.
    const std::string world = "/usr/bin/env XDG_RUNTIME_DIR=" + runtime().string() +
                              " XDG_DATA_HOME=" + (temp_ / "portal-data").string() +
                              " HOME=" + (temp_ / "not-the-home").string() + " ";
    bus_->addService("org.freedesktop.portal.Documents", world + documentPortal.string());
    bus_->addService("org.freedesktop.impl.portal.PermissionStore",
                     world + permissionStore.string());
  }

  void TearDown() override {
    // The portal's mount first: a FUSE mount whose server has gone leaves its folder unusable,
    // and the test's folder with it.
    ::umount2((runtime() / "doc").c_str(), MNT_DETACH);
    bus_.reset();
  }

  fs::path runtime() const { return temp_ / "runtime"; }

  // The path under which the portal shows `file`, exported as a sandboxed application exports
  // what it hands over.
  fs::path exported(const fs::path& file) const {
    testing_support::ProcessOptions options;
    options.environment = {{"DBUS_SESSION_BUS_ADDRESS", bus_->address()}};
    const auto result = testing_support::run({DOCUMENT_PORTAL_EXPORT, file.string()}, options);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    std::string id = result.out;
    while (!id.empty() && id.back() == '\n') id.pop_back();
    return runtime() / "doc" / id / file.filename();
  }
};

TEST_F(ReferenceAppPortalTest, ADroppedPortalFileLandsWholeInANewShareFolder) {
  const std::string content = testing_support::patterned(3 * 1024 * 1024 + 17);
  writeFile(temp_ / "app-data" / "Field recording.m4a", content);
  const fs::path shared = exported(temp_ / "app-data" / "Field recording.m4a");
  ASSERT_TRUE(fs::exists(shared)) << shared << " is not in the portal";
  struct statfs where {};
  ASSERT_EQ(::statfs(shared.c_str(), &where), 0);
  ASSERT_EQ(where.f_type, kFuseMagic) << "not on the portal's file system";
  auto app = startApp({});
  const auto window = windowOf(*app);
  ASSERT_TRUE(window) << app->errors();
  const Shown before = shownIn(app->output());

  dragOnto(*window, {"--files", shared.string()});
  const auto shown = waitForShown(*app, before, 1);

  EXPECT_EQ(shown.problems, Names{}) << app->errors();
  ASSERT_EQ(shown.received.size(), 1u) << app->output() << app->errors();
  const auto& received = shown.received.front();
  EXPECT_EQ(received.filename(), "Field recording.m4a");
  EXPECT_EQ(received.parent_path().parent_path(), inbox());
  EXPECT_EQ(namesIn(received.parent_path()), Names{"Field recording.m4a"});
  EXPECT_TRUE(readFile(received) == content) << "the copy differs";
  EXPECT_TRUE(readFile(shared) == content) << "a dropped file stays where it was";
  endApp(*app);
}

}  // namespace
}  // namespace reference_test
