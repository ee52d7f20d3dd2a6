// Command lines fitted into exec's room: how files spread over several, how the room is measured,
// and starting them in turn, splitting further where exec still refuses one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "platform/app/workspace/CommandLineRoom.hpp"
#include "platform/app/workspace/ProgramLauncher.hpp"

namespace workspace_test {
namespace {

using platform::argumentSize;
using platform::FileCommandLine;
using Files = std::vector<std::string>;

FileCommandLine lineWith(Files files) { return {{"kw"}, std::move(files), {"--end"}}; }

struct FitCase {
  const char* name;
  Files files;
  std::size_t room;
  std::vector<Files> lines;  // the files of each command line, in order
};

TEST(CommandLineRoomTest, FilesSpreadOverAsFewLinesAsFitTheRoomInOrder) {
  // What argv's null pointer and the words "kw" and "--end" take of every line.
  const std::size_t fixedWords = sizeof(char*) + argumentSize("kw") + argumentSize("--end");
  // "/1" … "/9" are all this size.
  const std::size_t fileSize = argumentSize("/1");
  const std::string longFile(64, 'x');
  const FitCase cases[] = {
      {.name = "files that fit in one line",
       .files = {"/1", "/2", "/3"},
       .room = fixedWords + 3 * fileSize,
       .lines = {{"/1", "/2", "/3"}}},
      {.name = "more than fit: the room holds exactly two",
       .files = {"/1", "/2", "/3", "/4", "/5"},
       .room = fixedWords + 2 * fileSize,
       .lines = {{"/1", "/2"}, {"/3", "/4"}, {"/5"}}},
      {.name = "a byte short of two",
       .files = {"/1", "/2", "/3"},
       .room = fixedWords + 2 * fileSize - 1,
       .lines = {{"/1"}, {"/2"}, {"/3"}}},
      {.name = "one file longer than the room alone goes alone",
       .files = {"/1", longFile, "/2", "/3"},
       .room = fixedWords + 2 * fileSize,
       .lines = {{"/1"}, {longFile}, {"/2", "/3"}}},
      {.name = "no room at all: each file alone",
       .files = {"/1", "/2"},
       .room = 0,
       .lines = {{"/1"}, {"/2"}}},
      {.name = "no files: the line as it is", .files = {}, .room = 0, .lines = {{}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<FileCommandLine> expected;
    for (const auto& files : c.lines) expected.push_back(lineWith(files));

    EXPECT_EQ(platform::fitCommandLine(lineWith(c.files), c.room), expected);
  }
}

TEST(CommandLineRoomTest, TheEnvironmentTakesItsShareOfTheRoom) {
  const std::size_t before = platform::argumentRoom();
  const std::string value(1000, 'v');
  ::setenv("KELPWORD_ROOM_TEST", value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  const std::size_t with = platform::argumentRoom();
  ::unsetenv("KELPWORD_ROOM_TEST");  // NOLINT(concurrency-mt-unsafe)

  EXPECT_LT(before, static_cast<std::size_t>(::sysconf(_SC_ARG_MAX)));
  EXPECT_EQ(before - with, argumentSize("KELPWORD_ROOM_TEST=" + value));
}

// The stack limit of this process, lowered for a test's time: programs it starts inherit it.
class StackLimit {
 public:
  explicit StackLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_STACK, &previous_);
    rlimit lowered = previous_;
    lowered.rlim_cur = limit;
    applied_ = ::setrlimit(RLIMIT_STACK, &lowered) == 0;
  }
  ~StackLimit() { ::setrlimit(RLIMIT_STACK, &previous_); }
  StackLimit(const StackLimit&) = delete;
  StackLimit& operator=(const StackLimit&) = delete;

  bool applied() const { return applied_; }

 private:
  rlimit previous_{};
  bool applied_ = false;
};

TEST(CommandLineRoomTest, LinesFittedToTheRoomStartWhereOneLineForAllIsRefused) {
  // As under `ulimit -s 1024`: exec's room is a quarter of it.
  const StackLimit limit(rlim_t{1} << 20);
  if (!limit.applied()) GTEST_SKIP() << "the stack limit cannot be lowered";
  const std::size_t room = platform::argumentRoom();
  FileCommandLine all{.before = {"/bin/true"}};
  for (std::size_t i = 0; i * argumentSize("/share/0000000000.m4a") < room * 3 / 2; ++i) {
    all.files.push_back("/share/" + std::to_string(1'000'000'000 + i) + ".m4a");
  }

  const auto lines = platform::fitCommandLine(all, room);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(platform::startInTurn(lines, platform::startProgram).size(), 2u);
  try {
    platform::startProgram(all.arguments());
    ADD_FAILURE() << "one line for all started";
  } catch (const std::system_error& failure) {
    EXPECT_EQ(failure.code(), std::errc::argument_list_too_long) << failure.what();
  }
}

// A stand-in for exec that refuses lines of more than `most` files, or holding `refusedFile`, and
// records the lines it was asked to start.
struct FakeExec {
  std::size_t most = 100;
  std::string refusedFile;
  int error = E2BIG;
  std::vector<std::vector<std::string>> tried;
  std::vector<std::vector<std::string>> started;

  pid_t operator()(const std::vector<std::string>& argv) {
    tried.push_back(argv);
    const std::size_t files = argv.size() - 2;  // "kw" and "--end"
    if (files > most || std::find(argv.begin(), argv.end(), refusedFile) != argv.end()) {
      throw std::system_error(error, std::generic_category(), "exec");
    }
    started.push_back(argv);
    return static_cast<pid_t>(started.size());
  }
};

struct StartCase {
  const char* name;
  std::vector<Files> lines;
  FakeExec exec;
  std::vector<Files> started;  // the files of each started line, in order
  std::optional<std::errc> failure;
  std::size_t tries;
};

TEST(CommandLineRoomTest, LinesStartInTurnHalvedWhileExecFindsThemTooLong) {
  const StartCase cases[] = {
      {.name = "every line starts",
       .lines = {{"/1", "/2"}, {"/3"}},
       .exec = {},
       .started = {{"/1", "/2"}, {"/3"}},
       .failure = std::nullopt,
       .tries = 2},
      {.name = "exec takes fewer than fitted: halves, in order",
       .lines = {{"/1", "/2", "/3", "/4", "/5"}, {"/6"}},
       .exec = {.most = 2},
       .started = {{"/1", "/2"}, {"/3"}, {"/4", "/5"}, {"/6"}},
       .failure = std::nullopt,
       .tries = 6},
      {.name = "a file exec refuses alone: E2BIG after the lines before it",
       .lines = {{"/1"}, {"/2", "/3"}, {"/4"}},
       .exec = {.refusedFile = "/3"},
       .started = {{"/1"}, {"/2"}},
       .failure = std::errc::argument_list_too_long,
       .tries = 4},
      {.name = "another error is not split",
       .lines = {{"/1", "/2"}, {"/3"}},
       .exec = {.refusedFile = "/2", .error = EACCES},
       .started = {},
       .failure = std::errc::permission_denied,
       .tries = 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<FileCommandLine> lines;
    for (const auto& files : c.lines) lines.push_back(lineWith(files));
    FakeExec exec = c.exec;
    std::vector<pid_t> pids;
    try {
      pids = platform::startInTurn(lines, std::ref(exec));
      EXPECT_FALSE(c.failure) << "every line started";
    } catch (const std::system_error& failure) {
      ASSERT_TRUE(c.failure) << failure.what();
      EXPECT_EQ(failure.code(), *c.failure);
    }
    std::vector<std::vector<std::string>> expected;
    for (const auto& files : c.started) expected.push_back(lineWith(files).arguments());
    EXPECT_EQ(exec.started, expected);
    EXPECT_EQ(exec.tried.size(), c.tries);
    if (!c.failure) {
      EXPECT_EQ(pids.size(), c.started.size());
    }
  }
}

}  // namespace
}  // namespace workspace_test
