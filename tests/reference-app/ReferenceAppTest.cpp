// kelpword-reference as a user meets it, on the tests' own X server and session bus: files dragged
// from another application's window, the sweep at start, files handed over by D-Bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gio/gio.h>
#include <signal.h>

#include "DidedaZiv/AudioIntake.hpp"
#include "tests/reference-app/ReferenceAppTestEnvironment.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/window/RunningShare.hpp"

namespace reference_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::namesIn;
using testing_support::readFile;
using testing_support::TempFolder;
using testing_support::writeFile;
using window_test::RunningShare;

using Names = std::vector<std::string>;

constexpr std::string_view kNotAudio = DidedaZiv::AudioIntake::notAudioMessage;

// What the application said it shows, line by line: "received: PATH" or "problem: MESSAGE"
// ("swept: PATH" lines are the sweep's).
struct Shown {
  std::vector<fs::path> received;
  Names problems;
};

Shown shownIn(const std::string& output) {
  Shown shown;
  std::stringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("received: ")) shown.received.emplace_back(line.substr(10));
    if (line.starts_with("problem: ")) shown.problems.push_back(line.substr(9));
  }
  return shown;
}

std::size_t count(const Shown& shown) { return shown.received.size() + shown.problems.size(); }

// Shown beyond the first `before` lines, once `wanted` lines more have come or time ran out.
Shown waitForShown(const RunningShare& app, const Shown& before, std::size_t wanted) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (true) {
    auto now = shownIn(app.output());
    if (count(now) >= count(before) + wanted || std::chrono::steady_clock::now() > deadline) {
      now.received.erase(now.received.begin(),
                         now.received.begin() + static_cast<long>(before.received.size()));
      now.problems.erase(now.problems.begin(),
                         now.problems.begin() + static_cast<long>(before.problems.size()));
      return now;
    }
    std::this_thread::sleep_for(50ms);
  }
}

bool waitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

class ReferenceAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testDisplay() == nullptr) GTEST_SKIP() << whyNoDisplay();
    if (testing_support::nssWrapperLibrary().empty()) {
      GTEST_SKIP() << "nss_wrapper is not installed (package libnss-wrapper)";
    }
    if (!testing_support::privateBusAvailable()) {
      GTEST_SKIP() << "dbus-daemon is not installed (package dbus)";
    }
    bus_ = std::make_unique<testing_support::PrivateBus>(temp_ / "bus");
    writeFile(temp_ / "passwd", "tester:x:" + std::to_string(::getuid()) + ":" +
                                    std::to_string(::getgid()) + ":Tester:" + home().string() +
                                    ":/bin/sh\n");
    writeFile(temp_ / "group", "");
  }

  fs::path home() const { return temp_ / "home"; }
  fs::path inbox() const {
    return home() / "Library/Application Support/com.brenvik.kelpword/Received Files";
  }

  // What every program on the test display needs: the display, cairo instead of OpenGL, no
  // accessibility bus, the private session bus, the toolkit's files in the test's folder.
  RunningShare::Environment toolkitEnvironment() const {
    return {{"DISPLAY", testDisplay()->name()},
            {"GSK_RENDERER", "cairo"},
            {"GDK_DEBUG", "gl-disable"},
            {"GTK_A11Y", "none"},
            {"DBUS_SESSION_BUS_ADDRESS", bus_->address()},
            {"XDG_CACHE_HOME", (temp_ / "xdg/cache").string()},
            {"XDG_CONFIG_HOME", (temp_ / "xdg/config").string()},
            {"XDG_DATA_HOME", (temp_ / "xdg/data").string()},
            {"XDG_STATE_HOME", (temp_ / "xdg/state").string()}};
  }

  // kelpword-reference with the test's home through nss_wrapper (without RTLD_DEEPBIND, which
  // AddressSanitizer refuses).
  std::unique_ptr<RunningShare> startApp(const std::vector<std::string>& arguments,
                                         const std::string& name = "app") {
    auto environment = toolkitEnvironment();
    for (auto& entry : testing_support::nssWrapperEnvironment((temp_ / "passwd").string(),
                                                              (temp_ / "group").string())) {
      environment.push_back(std::move(entry));
    }
    environment.emplace_back("NSS_WRAPPER_DISABLE_DEEPBIND", "1");
    environment.emplace_back("HOME", home().string());
    std::vector<std::string> argv{KELPWORD_REFERENCE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    fs::create_directories(temp_ / name);
    auto app =
        std::make_unique<RunningShare>(argv, environment, std::vector<std::string>{}, temp_ / name);
    waitForOutputFiles(temp_ / name);
    return app;
  }

  // The program's output files once it has made them (before that, reading them fails).
  static void waitForOutputFiles(const fs::path& folder) {
    EXPECT_TRUE(waitUntil([&] { return fs::exists(folder / "share.err"); }));
  }

  // The application's window, once it shows.
  std::optional<window_test::WindowId> windowOf(const RunningShare& app) const {
    return testDisplay()->waitForWindow("KelpWord", app.pid(), 20s);
  }

  // Ends the application as a session does, and expects it to end cleanly: no complaint from
  // GLib on the way (a source removed twice, a bus left unflushed), and under AddressSanitizer no
  // leak of its own.
  static void endApp(RunningShare& app) {
    ::kill(app.pid(), SIGTERM);
    EXPECT_EQ(app.waitForExit(20s), 0) << app.errors();
    EXPECT_EQ(app.errors().find("-CRITICAL **"), std::string::npos) << app.errors();
    EXPECT_EQ(app.errors().find("-WARNING **"), std::string::npos) << app.errors();
  }

  // Drags the drag source's window onto `target` and drops there, with the pointer as a user
  // moves it: press, move in steps, release.
  void dragOnto(window_test::WindowId target, const std::vector<std::string>& sourceArguments) {
    std::vector<std::string> argv{REFERENCE_DRAG_SOURCE};
    argv.insert(argv.end(), sourceArguments.begin(), sourceArguments.end());
    // A folder of its own for each source's output: none reads another's lines.
    const auto folder = temp_ / ("source " + std::to_string(++drags_));
    fs::create_directories(folder);
    RunningShare source(argv, toolkitEnvironment(), {}, folder);
    waitForOutputFiles(folder);
    const auto window = testDisplay()->waitForWindow("Drag source", source.pid(), 20s);
    ASSERT_TRUE(window) << source.errors();
    const auto to = testDisplay()->geometry(target);
    ASSERT_TRUE(to);
    xdotool({"windowmove", "--sync", std::to_string(*window),
             std::to_string(to->x + to->width + 40), std::to_string(to->y + 20)});
    const auto from = testDisplay()->geometry(*window);
    ASSERT_TRUE(from);
    const int startX = from->x + from->width / 2;
    const int startY = from->y + from->height / 2;
    const int endX = to->x + to->width / 2;
    const int endY = to->y + to->height / 2;
    // Press and pull away until the source has begun its drag: a slow source (under the
    // sanitizers) would otherwise see the release before its drag starts.
    xdotool({"mousemove", "--sync", std::to_string(startX), std::to_string(startY), "mousedown",
             "1", "mousemove", std::to_string(startX - 10), std::to_string(startY), "sleep", "0.05",
             "mousemove", std::to_string(startX - 30), std::to_string(startY + 5)});
    ASSERT_TRUE(waitUntil([&] { return source.output().find("drag: begun") != std::string::npos; }))
        << "no drag began: " << source.errors();
    std::vector<std::string> gesture;
    for (int step = 1; step <= 8; ++step) {
      gesture.insert(gesture.end(),
                     {"mousemove", std::to_string(startX + (endX - startX) * step / 8),
                      std::to_string(startY + (endY - startY) * step / 8), "sleep", "0.05"});
    }
    // A last small move over the target, so that it has seen the pointer arrive before the drop.
    gesture.insert(gesture.end(), {"sleep", "0.5", "mousemove", std::to_string(endX + 4),
                                   std::to_string(endY + 4), "sleep", "0.5", "mouseup", "1"});
    xdotool(gesture);
    EXPECT_TRUE(waitUntil([&] { return source.output().find("drag: ended") != std::string::npos; }))
        << "the drag did not end: " << source.errors();
  }

  void xdotool(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "xdotool");
    testing_support::ProcessOptions options;
    options.environment = {{"DISPLAY", testDisplay()->name()}};
    options.timeout = 20s;
    const auto result = testing_support::run(arguments, options);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
  }

  TempFolder temp_;
  std::unique_ptr<testing_support::PrivateBus> bus_;
  int drags_ = 0;
};

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

// Open on org.freedesktop.Application, as the share extension's hand-off calls it.
void callOpen(const std::string& busAddress, const std::vector<fs::path>& files) {
  GError* error = nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      busAddress.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  ASSERT_NE(bus, nullptr) << error->message;
  GVariantBuilder uris;
  g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
  for (const auto& file : files) {
    gchar* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
    g_variant_builder_add(&uris, "s", uri);
    g_free(uri);
  }
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "com.brenvik.kelpword", "/com/brenvik/kelpword", "org.freedesktop.Application", "Open",
      g_variant_new("(as@a{sv})", &uris, g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
      nullptr, G_DBUS_CALL_FLAGS_NONE, 20000, nullptr, &error);
  EXPECT_NE(reply, nullptr) << (error != nullptr ? error->message : "");
  if (reply != nullptr) g_variant_unref(reply);
  if (error != nullptr) g_error_free(error);
  g_object_unref(bus);
}

TEST_F(ReferenceAppTest, FilesHandedOverByDBusAreListed) {
  const auto first = inbox() / "A-SHARE/Interview.m4a";
  const auto second = inbox() / "A-SHARE/Memo.wav";
  const auto third = inbox() / "LATER-SHARE/Call.mp3";
  for (const auto& file : {first, second, third}) writeFile(file, "audio");
  auto app = startApp({});
  ASSERT_TRUE(windowOf(*app)) << app->errors();

  callOpen(bus_->address(), {first, second});
  EXPECT_EQ(waitForShown(*app, {}, 2).received, (std::vector<fs::path>{first, second}));

  // A second instance started with a file hands it to the first, over the same call, and ends.
  auto secondInstance = startApp({third.string()}, "second");
  EXPECT_EQ(secondInstance->waitForExit(20s), 0) << secondInstance->errors();
  EXPECT_EQ(secondInstance->errors(), "");
  EXPECT_EQ(waitForShown(*app, {}, 3).received, (std::vector<fs::path>{first, second, third}));
  endApp(*app);
}

}  // namespace
}  // namespace reference_test
