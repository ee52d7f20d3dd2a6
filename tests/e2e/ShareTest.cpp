// A share from start to end, as a user runs it: what lands in the inbox, what KelpWord is asked
// to open, what the sheet says, and how the program exits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/Mounts.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

TEST_F(ShareExtensionTest, SharedFileIsCopiedIntoANewShareFolderAndHandedToKelpWord) {
  makeInbox();
  writeFile(folder() / "Interview.m4a", "recording");

  const auto result = share({(folder() / "Interview.m4a").string()});

  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, sending);
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  const fs::path received = folders[0] / "Interview.m4a";
  EXPECT_EQ(readFile(received), "recording");
  EXPECT_EQ(testing_support::namesIn(folders[0]), std::vector<std::string>{"Interview.m4a"});
  const auto starts = opened();
  ASSERT_EQ(starts.size(), 1u);
  // The demonstration bundle that the build lays out around the extension.
  EXPECT_EQ(fs::path(starts[0].program).parent_path().parent_path().parent_path().filename(),
            "KelpWord.app");
  EXPECT_EQ(starts[0].files, std::vector<std::string>{received.string()});
  EXPECT_TRUE(fs::exists(folder() / "Interview.m4a")) << "the shared file stays where it was";
}

TEST_F(ShareExtensionTest, SeveralItemsAreOpenedInOneRequestInTheirOrder) {
  makeInbox();
  writeFile(folder() / "b.mp3", "b");
  writeFile(folder() / "a.wav", "a");

  const auto result = share({(folder() / "b.mp3").string(), "https://example.com/talk", "-",
                             (folder() / "a.wav").string()},
                            "data", KELPWORD_SHARE);

  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, sending);
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  const auto starts = opened();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].files, (std::vector<std::string>{(folders[0] / "b.mp3").string(),
                                                       (folders[0] / "a.wav").string()}));
}

TEST_F(ShareExtensionTest, AudioDataFromStandardInputIsReceivedUnderItsSuggestedName) {
  // --type by identifier or by MIME type, an alias of the shared MIME database's included.
  const struct {
    std::string type;
    std::string received;
  } cases[] = {
      {"public.mp3", "Voice memo.mp3"},
      {"audio/mpeg", "Voice memo.mp3"},
      {"audio/x-wav", "Voice memo.wav"},
      {"video/mp4", "Voice memo.mp4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    fs::remove_all(inbox());
    fs::remove(folder() / "opened.txt");
    makeInbox();

    const auto result = share({"--type", c.type, "--name", "Voice memo", "-"}, "ID3 data");

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(readFile(folders[0] / c.received), "ID3 data");
    const auto starts = opened();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].files, std::vector<std::string>{(folders[0] / c.received).string()});
    // The runtime's own temporary folder for the data has gone.
    for (const auto& entry : fs::directory_iterator(folder())) {
      EXPECT_FALSE(entry.path().filename().string().starts_with("share-extension."))
          << entry.path();
    }
  }
}

TEST_F(ShareExtensionTest, ANameBeyondAsciiIsTrimmedAndShortenedByUnicodeCharacters) {
  // The program loads ICU only for such names; both of its uses in naming, in the program itself.
  std::string accents;
  for (int i = 0; i < 10; ++i) accents += "e\u0301";
  const struct {
    std::string name;
    std::string received;
  } cases[] = {
      {"\u3000Entrevue \u00E0 Montr\u00E9al\u00A0", "Entrevue \u00E0 Montr\u00E9al.mp3"},
      // 255 bytes leave the stem 251: the 251st is an "e" that its accent follows, so both go.
      {std::string(250, 'a') + accents, std::string(250, 'a') + ".mp3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.received);
    fs::remove_all(inbox());
    fs::remove(folder() / "opened.txt");
    makeInbox();

    const auto result = share({"--type", "public.mp3", "--name", c.name, "-"}, "ID3 data");

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(testing_support::namesIn(folders[0]), std::vector<std::string>{c.received});
  }
}

TEST_F(ShareExtensionTest, MissingInboxAsksToOpenKelpWordFirstAndCreatesNothing) {
  writeFile(folder() / "Interview.m4a", "recording");

  const auto result = share({(folder() / "Interview.m4a").string()});

  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, sending + openFirst);
  EXPECT_FALSE(fs::exists(home() / "Library")) << "no inbox and no per-share folder";
  EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
}

struct FailingShare {
  const char* name;
  std::vector<std::string> arguments;
  std::string input;
  std::string message;
};

const std::string couldNotGet =
    "KelpWord couldn\u2019t get that recording from the other app. Try again, or export it as a "
    "file and drop the file here.\n";

TEST_F(ShareExtensionTest, SharesThatReceiveNothingShowTheirMessageAndLeaveAnEmptyShareFolder) {
  // A pipe that no writer has opened yet: nothing to wait for, and no recording.
  ASSERT_EQ(::mkfifo((folder() / "Take.m4a").c_str(), 0600), 0);
  const FailingShare cases[] = {
      {"no items", {}, "", notAudio},
      {"a non-audio data item",
       {"--type", "public.plain-text", "--name", "notes", "-"},
       "hello",
       notAudio},
      {"a non-audio MIME type", {"--type", "text/plain", "-"}, "hello", notAudio},
      {"a MIME type nobody knows", {"--type", "audio/x-unknown", "-"}, "hello", notAudio},
      {"a link", {"https://example.com/talk.m4a"}, "", notAudio},
      {"a file that is not there", {"/nonexistent/Interview.m4a"}, "", couldNotGet},
      {"a pipe", {(folder() / "Take.m4a").string()}, "", couldNotGet},
      {"empty standard input", {"--type", "public.mp3", "-"}, "", couldNotGet},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(inbox());
    makeInbox();

    const auto result = share(c.arguments, c.input);

    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_EQ(result.out, sending + c.message);
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u) << "the per-share folder stays";
    EXPECT_TRUE(fs::is_empty(folders[0]));
    EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
  }
}

constexpr std::size_t kibibyte = 1024;
constexpr std::size_t mebibyte = 1024 * kibibyte;

// A process that holds the named pipe `fifo` as its writer before anyone reads it (opened for
// reading and writing, so that opening never waits), writes `content` into it and closes it.
// Ended, if still there, when the object goes.
class NamedPipeWriter {
 public:
  NamedPipeWriter(const fs::path& fifo, const std::string& content) {
    std::array<int, 2> ready{};
    if (::pipe2(ready.data(), O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
      if (out < 0 || ::write(ready[1], "r", 1) != 1) ::_exit(1);
      for (std::size_t done = 0; done < content.size();) {
        const ssize_t written = ::write(out, content.data() + done, content.size() - done);
        if (written <= 0) ::_exit(1);
        done += static_cast<std::size_t>(written);
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    holding_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~NamedPipeWriter() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  NamedPipeWriter(const NamedPipeWriter&) = delete;
  NamedPipeWriter& operator=(const NamedPipeWriter&) = delete;

  bool holding() const { return holding_; }

 private:
  pid_t pid_ = -1;
  bool holding_ = false;
};

// A pipe handed by location whose writer is there, as `kelpword-share <(…)` hands it, is read to
// its end, straight into the inbox.
TEST_F(ShareExtensionTest, APipeWithAWriterIsReceivedWhole) {
  const std::string content =
      testing_support::patterned(200 * kibibyte + 3);  // more than a pipe holds at once
  writeFile(folder() / "take.data", content);
  ASSERT_EQ(::mkfifo((folder() / "Take.m4a").c_str(), 0600), 0);
  struct Case {
    const char* what;
    std::string script;  // run by bash with the program as $0, the data's file as $1
    std::optional<std::string> received;  // the received name, where the pipe has one of its own
  };
  const Case cases[] = {
      {"a process substitution", R"(exec "$0" <(cat "$1"))", std::nullopt},
      {"a process substitution whose writer starts late", R"(exec "$0" <(sleep 0.5; cat "$1"))",
       std::nullopt},
      {"a named pipe whose writer is already writing", R"(exec "$0" "$2")", "Take.m4a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(inbox());
    fs::remove(folder() / "opened.txt");
    makeInbox();
    std::optional<NamedPipeWriter> writer;
    if (c.received) {
      writer.emplace(folder() / "Take.m4a", content);
      ASSERT_TRUE(writer->holding());
    }

    const auto result = share({"-c", c.script, KELPWORD_SHARE, (folder() / "take.data").string(),
                               (folder() / "Take.m4a").string()},
                              "", "/bin/bash");

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, sending);
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u);
    const auto names = testing_support::namesIn(folders[0]);
    ASSERT_EQ(names.size(), 1u);
    if (c.received) {
      EXPECT_EQ(names[0], *c.received);
    }
    EXPECT_TRUE(readFile(folders[0] / names[0]) == content) << "the whole content, in order";
    const auto starts = opened();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].files, std::vector<std::string>{(folders[0] / names[0]).string()});
  }
}

// A pipe whose writer has gone, or never came, without writing holds no recording: the share
// fails at once, never waiting for a writer.
TEST_F(ShareExtensionTest, APipeWithoutAWriterFailsPromptly) {
  ASSERT_EQ(::mkfifo((folder() / "Take.m4a").c_str(), 0600), 0);
  const FailingShare cases[] = {
      {"a named pipe that no writer has opened", {"-c", R"(exec "$0" "$1")"}, "", couldNotGet},
      {"a process substitution that writes nothing",
       {"-c", R"(exec "$0" <(true))"},
       "",
       couldNotGet},
      {"a process substitution whose writer leaves without writing",
       {"-c", R"(exec "$0" <(sleep 0.3))"},
       "",
       couldNotGet},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(inbox());
    makeInbox();
    auto arguments = c.arguments;
    arguments.push_back(KELPWORD_SHARE);
    arguments.push_back((folder() / "Take.m4a").string());
    const auto started = std::chrono::steady_clock::now();

    const auto result = share(arguments, c.input, "/bin/bash");

    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_EQ(result.out, sending + c.message);
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(fs::is_empty(folders[0]));
  }
}

// Bytes in use on the file system that holds `folder`.
std::uintmax_t bytesInUse(const fs::path& folder) {
  struct statvfs disk {};
  if (::statvfs(folder.c_str(), &disk) != 0) return 0;
  return static_cast<std::uintmax_t>(disk.f_blocks - disk.f_bfree) * disk.f_frsize;
}

// A recording the full inbox cannot take is tried again as a file of its own type, which is the
// recording itself: it is never copied whole into the temporary folder on the way.
TEST_F(ShareExtensionTest, ARecordingTheFullInboxCannotTakeIsNeverCopiedIntoTheTemporaryFolder) {
  makeInbox();
  auto fullInbox = testing_support::ScopedMount::tinyTmpfs(inbox(), 256 * kibibyte);
  if (!fullInbox.ok()) GTEST_SKIP() << fullInbox.why();
  const fs::path temporary = folder() / "tmp";
  auto temporaryDisk = testing_support::ScopedMount::tinyTmpfs(temporary, 64 * mebibyte);
  if (!temporaryDisk.ok()) GTEST_SKIP() << temporaryDisk.why();
  addEnvironment("TMPDIR", temporary.string());
  const std::size_t recording = 24 * mebibyte;
  writeFile(folder() / "Interview.m4a", std::string(recording, 'r'));

  // Watched while the share runs: a copy lives there only between two attempts on the inbox.
  const std::uintmax_t before = bytesInUse(temporary);
  std::atomic<bool> ended{false};
  std::uintmax_t peak = before;
  std::thread watcher([&] {
    while (!ended.load()) {
      peak = std::max(peak, bytesInUse(temporary));
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  const auto result = share({(folder() / "Interview.m4a").string()});
  ended.store(true);
  watcher.join();

  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_EQ(result.out, sending + couldNotGet);
  EXPECT_LT(peak - before, recording / 16) << "the recording was copied into $TMPDIR";
  EXPECT_TRUE(fs::is_empty(temporary));
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_TRUE(fs::is_empty(folders[0]));
  EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
}

TEST_F(ShareExtensionTest, ApplicationThatCannotStartShowsTheHandOffMessageAndKeepsTheFile) {
  // The extension inside Broken.app, whose program cannot be executed.
  makeBundle(folder() / "Broken.app", "com.brenvik.kelpword");
  fs::permissions(folder() / "Broken.app/Contents/MacOS/KelpWord",
                  fs::perms::owner_read | fs::perms::group_read);
  const auto program = placeExtension(folder() / "Broken.app");
  makeInbox();
  writeFile(folder() / "Interview.m4a", "recording");

  const auto result = share({(folder() / "Interview.m4a").string()}, "", program);

  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_EQ(result.out, sending + handOffFailed);
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(readFile(folders[0] / "Interview.m4a"), "recording");
}

TEST_F(ShareExtensionTest, ReturnOnStandardInputPressesClose) {
  const auto result = share({}, "\n");  // no inbox: the failure sheet, then Return
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, sending + openFirst);
}

TEST_F(ShareExtensionTest, UsageAndHelp) {
  const auto help = share({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_TRUE(help.out.starts_with(
      "Usage: kelpword-share [--type TYPE] [--name NAME] [--no-window] [--version] "
      "[--help] [ITEM...]\n"))
      << help.out;
  const auto version = share({"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_TRUE(version.out.starts_with("kelpword-share ")) << version.out;
  EXPECT_FALSE(fs::exists(home() / "Library")) << "no share for --version";

  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"--type"}, {"-", "-"}, {"--name", "x", "Interview.m4a"}}) {
    SCOPED_TRACE(arguments.front());
    const auto result = share(arguments);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.out, "") << "no sheet for a usage error";
    EXPECT_NE(result.err.find("kelpword-share --help"), std::string::npos) << result.err;
  }
  EXPECT_FALSE(fs::exists(home() / "Library"));
}

TEST_F(ShareExtensionTest, ClosedStandardDescriptorsAreReopenedOnDevNull) {
  // Launched with every standard descriptor closed: the share still runs to its end, and no
  // file it opens is mistaken for one of them.
  makeInbox();
  writeFile(folder() / "Interview.m4a", "recording");
  const std::string script = "exec <&- >&- 2>&- \"$0\" \"$1\"";
  const auto result =
      share({"-c", script, KELPWORD_SHARE, (folder() / "Interview.m4a").string()}, "", "/bin/sh");

  EXPECT_EQ(result.exitStatus, 0) << result.err;
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(readFile(folders[0] / "Interview.m4a"), "recording");
  EXPECT_EQ(opened().size(), 1u);
}

TEST_F(ShareExtensionTest, WithStandardOutputUnwritableTheMessageGoesToStandardError) {
  const auto result =
      share({"-c", "exec >/dev/full \"$0\"", KELPWORD_SHARE}, "", "/bin/sh");  // no inbox

  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find(openFirst), std::string::npos) << result.err;
}

}  // namespace
}  // namespace e2e
