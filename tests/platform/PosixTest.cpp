#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/Url.hpp"
#include "platform/detail/Posix.hpp"
#include "tests/support/TempFolder.hpp"

namespace {

namespace fs = std::filesystem;
namespace posix = platform::posix;
using testing_support::TempFolder;
using testing_support::writeFile;

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(Posix, SystemErrorKeepsErrnoAndNamesOperationAndPath) {
  struct Case {
    int error;
    const char* operation;
    const char* path;
    const char* message;
  };
  const Case cases[] = {
      {ENOENT, "open", "/a/b", "open: /a/b"},
      {EINVAL, "no program", "", "no program"},
      {EXDEV, "copy", "/a to /b", "copy: /a to /b"},
  };
  for (const auto& c : cases) {
    try {
      posix::throwSystemError(c.error, c.operation, c.path);
      ADD_FAILURE() << "no exception for " << c.message;
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::error_code(c.error, std::generic_category()));
      EXPECT_EQ(std::string(error.what()).substr(0, std::string(c.message).size()), c.message);
    }
  }
}

TEST(Posix, DescriptorClosesOnceAndHandsOver) {
  std::array<int, 2> ends{};
  ASSERT_EQ(::pipe(ends.data()), 0);
  {
    posix::FileDescriptor reading(ends[0]);
    posix::FileDescriptor moved(std::move(reading));
    EXPECT_FALSE(reading.valid());  // NOLINT(bugprone-use-after-move): the move's contract
    EXPECT_EQ(moved.get(), ends[0]);
    posix::FileDescriptor writing(ends[1]);
    EXPECT_EQ(writing.release(), ends[1]);
    EXPECT_FALSE(writing.valid());
  }
  EXPECT_FALSE(isOpen(ends[0]));
  EXPECT_TRUE(isOpen(ends[1]));
  ::close(ends[1]);

  ASSERT_EQ(::pipe(ends.data()), 0);
  posix::FileDescriptor target(ends[0]);
  target = posix::FileDescriptor(ends[1]);  // the one held before is closed
  EXPECT_FALSE(isOpen(ends[0]));
  target.closeReportingErrors("close");
  EXPECT_FALSE(isOpen(ends[1]));
  EXPECT_FALSE(target.valid());
}

TEST(Posix, LocalPathOnlyForFileUrlsWithoutNul) {
  struct Case {
    platform::Url url;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {platform::Url::fileURL("/a/b c", false), "/a/b c"},
      {platform::Url::fileURL("/a/", true), "/a"},
      {*platform::Url::parse("https://example.org/a"), std::nullopt},
      {platform::Url::fileURL(std::string("/a\0b", 4), false), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url.absoluteString());
    EXPECT_EQ(posix::localPath(c.url), c.path);
    try {
      EXPECT_EQ(posix::requireLocalPath(c.url, "use"), c.path);
    } catch (const std::system_error& error) {
      EXPECT_FALSE(c.path);
      EXPECT_EQ(error.code(), std::error_code(EINVAL, std::generic_category()));
    }
  }
}

// More than a pipe holds, so writes come back short and reads arrive in pieces.
TEST(Posix, WriteAllAndReadAllMoveEveryByte) {
  std::array<int, 2> ends{};
  ASSERT_EQ(::pipe(ends.data()), 0);
  posix::FileDescriptor reading(ends[0]);
  posix::FileDescriptor writing(ends[1]);
  std::string sent(std::size_t{1} << 20, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 % 251);

  int writeError = -1;
  std::thread writer([&] {
    writeError = posix::writeAll(writing.get(), sent.data(), sent.size());
    writing = posix::FileDescriptor();
  });
  std::string received(sent.size() + 100, '\0');
  const ssize_t got = posix::readAll(reading.get(), received.data(), received.size());
  writer.join();
  EXPECT_EQ(writeError, 0);
  ASSERT_EQ(got, static_cast<ssize_t>(sent.size()));  // short only at the end
  received.resize(sent.size());
  EXPECT_EQ(received, sent);
}

TEST(Posix, WriteAllReportsTheErrno) {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const posix::FileDescriptor readOnly(fd);
  EXPECT_EQ(posix::writeAll(readOnly.get(), "x", 1), EBADF);
}

TEST(Posix, DirectoryReaderListsFromTheStartAndLeavesTheFolderOpen) {
  const TempFolder folder;
  writeFile(folder / "a", "");
  writeFile(folder / "b/c", "");
  const posix::FileDescriptor open =
      posix::openAt(AT_FDCWD, folder.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_TRUE(open.valid());
  for (int round = 0; round < 2; ++round) {
    std::vector<std::string> names;
    posix::DirectoryReader reader(open.get(), "list", folder.path().string());
    while (const dirent* entry = reader.next()) names.emplace_back(entry->d_name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"})) << "round " << round;
  }
  EXPECT_TRUE(isOpen(open.get()));

  const posix::FileDescriptor file = posix::openAt(AT_FDCWD, (folder / "a").c_str(), O_RDONLY);
  try {
    posix::DirectoryReader reader(file.get(), "list", "a");
    ADD_FAILURE() << "a file read as a folder";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::error_code(ENOTDIR, std::generic_category()));
  }
}

TEST(Posix, OpensOnlyFilesAndFoldersWithoutWaitingForAWriter) {
  const TempFolder folder;
  writeFile(folder / "file", "data");
  fs::create_directories(folder / "folder");
  fs::create_symlink("file", folder / "link");
  ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);  // no writer: opening could wait
  const posix::FileDescriptor listening(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (folder / "socket").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(listening.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);

  struct Case {
    fs::path path;
    int error;        // 0: opened
    mode_t type = 0;  // the opened item's
  };
  const Case cases[] = {
      {folder / "file", 0, S_IFREG}, {folder / "folder", 0, S_IFDIR}, {folder / "link", 0, S_IFREG},
      {folder / "pipe", EINVAL},     {folder / "socket", EINVAL},     {"/dev/null", EINVAL},
      {folder / "missing", ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    struct stat info {};
    errno = 0;
    const posix::FileDescriptor opened = posix::openFileOrFolder(c.path.c_str(), info);
    if (c.error != 0) {
      EXPECT_FALSE(opened.valid());
      EXPECT_EQ(errno, c.error);
      continue;
    }
    ASSERT_TRUE(opened.valid());
    EXPECT_EQ(info.st_mode & S_IFMT, c.type);
    // A file is read as any other, waiting for its data.
    if (c.type == S_IFREG) {
      EXPECT_EQ(::fcntl(opened.get(), F_GETFL) & O_NONBLOCK, 0);
    }
  }
}

TEST(Posix, ReadLinkReadsLongTargetsWhole) {
  const TempFolder folder;
  const std::string longTarget = std::string(600, 'x') + "/" + std::string(600, 'y');
  struct Case {
    std::string target;
    std::size_t sizeHint;
  };
  const Case cases[] = {{"short", 0}, {longTarget, 0}, {longTarget, 10}, {longTarget, 5000}};
  for (const auto& c : cases) {
    fs::remove(folder / "link");
    fs::create_symlink(c.target, folder / "link");
    EXPECT_EQ(posix::readLinkAt(AT_FDCWD, (folder / "link").c_str(), c.sizeHint), c.target)
        << "hint " << c.sizeHint;
  }
  errno = 0;
  EXPECT_EQ(posix::readLinkAt(AT_FDCWD, (folder / "missing").c_str()), std::nullopt);
  EXPECT_EQ(errno, ENOENT);
}

// Sets TMPDIR for as long as it lives, then puts back what was there.
class TemporaryFolderBase {
 public:
  explicit TemporaryFolderBase(const fs::path& base) {
    if (const char* previous = std::getenv("TMPDIR")) previous_ = previous;  // NOLINT
    ::setenv("TMPDIR", base.c_str(), 1);                                     // NOLINT
  }
  ~TemporaryFolderBase() {
    if (previous_) {
      ::setenv("TMPDIR", previous_->c_str(), 1);  // NOLINT
    } else {
      ::unsetenv("TMPDIR");  // NOLINT
    }
  }
  TemporaryFolderBase(const TemporaryFolderBase&) = delete;
  TemporaryFolderBase& operator=(const TemporaryFolderBase&) = delete;

 private:
  std::optional<std::string> previous_;
};

TEST(Posix, TemporaryFoldersAreNewPrivateAndInTmpdir) {
  const TempFolder folder;
  {
    const TemporaryFolderBase base(folder.path());
    const fs::path first = posix::makeTemporaryFolder("share.");
    const fs::path second = posix::makeTemporaryFolder("share.");
    EXPECT_NE(first, second);
    for (const auto& made : {first, second}) {
      EXPECT_EQ(made.parent_path(), folder.path());
      EXPECT_TRUE(made.filename().string().starts_with("share.")) << made;
      EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all) << made;
    }
  }
  const TemporaryFolderBase missing(folder / "missing");
  try {
    posix::makeTemporaryFolder("share.");
    ADD_FAILURE() << "made a folder in a missing one";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
  }
}

}  // namespace
