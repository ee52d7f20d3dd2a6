#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/Url.hpp"
#include "platform/detail/Posix.hpp"
#include "tests/support/Mounts.hpp"
#include "tests/support/RefusedSystemCalls.hpp"
#include "tests/support/Subprocess.hpp"
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

// What openBeneath() gave: the errno it failed with, or the item its descriptor is open on.
struct Opened {
  int error = 0;
  dev_t device = 0;
  ino_t inode = 0;
  friend bool operator==(const Opened&, const Opened&) = default;
};

std::ostream& operator<<(std::ostream& out, const Opened& opened) {
  if (opened.error != 0) return out << "errno " << opened.error;
  return out << "item " << opened.device << ":" << opened.inode;
}

Opened itemAt(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return {.error = errno};
  return {.device = info.st_dev, .inode = info.st_ino};
}

Opened openBeneath(int folder, const char* path, int flags, posix::Mounts mounts) {
  errno = 0;
  const posix::FileDescriptor opened = posix::openBeneath(folder, path, flags, 0600, mounts);
  if (!opened.valid()) return {.error = errno};
  struct stat info {};
  if (::fstat(opened.get(), &info) != 0) return {.error = errno};
  return {.device = info.st_dev, .inode = info.st_ino};
}

// openBeneath() in a child whose kernel answers openat2 with ENOSYS, so that it takes its walk.
// None where this machine does not let the child install a filter.
std::optional<Opened> openBeneathByWalking(int folder, const char* path, int flags,
                                           posix::Mounts mounts) {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) return Opened{.error = -1};
  posix::FileDescriptor reading(ends[0]);
  posix::FileDescriptor writing(ends[1]);
  // What the child writes fits in the pipe: it ends without waiting for a reader.
  const int status = testing_support::runInChild([&] {
    if (!testing_support::refuseSystemCalls({{.call = __NR_openat2, .error = ENOSYS}})) return 125;
    if (::syscall(__NR_openat2, AT_FDCWD, ".", nullptr, 0) != -1 || errno != ENOSYS) return 124;
    const Opened opened = openBeneath(folder, path, flags, mounts);
    return posix::writeAll(writing.get(), &opened, sizeof opened) == 0 ? 0 : 1;
  });
  writing = posix::FileDescriptor();
  Opened opened{.error = -1};
  const ssize_t got = posix::readAll(reading.get(), &opened, sizeof opened);
  if (status == 125) return std::nullopt;
  EXPECT_EQ(status, 0) << "the walking child's exit status (127: it threw; 128 + N: signal N)";
  if (got != static_cast<ssize_t>(sizeof opened)) return Opened{.error = -1};
  return opened;
}

// Each case runs through both roads, openat2 here and the walk in a child whose openat2 the
// kernel refuses, and each must give what the case expects: the same errno, or the same item.
TEST(Posix, OpenBeneathStaysBeneathWithoutLinksAlikeByOpenat2AndByTheWalk) {
  if (::syscall(__NR_openat2, AT_FDCWD, ".", nullptr, 0) == -1 && errno == ENOSYS) {
    GTEST_SKIP() << "this kernel has no openat2: both roads would be the walk";
  }
  const TempFolder tree;
  writeFile(tree / "a/b/file", "nested");
  fs::create_symlink("file", tree / "a/b/fileLink");
  fs::create_symlink("b", tree / "a/folderLink");
  fs::create_directories(tree / "c");
  fs::create_symlink("escaped", tree / "c/dangling");
  // Declared after the tree, so that it is unmounted before the tree is removed.
  auto mount = testing_support::ScopedMount::tinyTmpfs(tree / "mnt", 1 << 20);
  if (mount.ok()) writeFile(tree / "mnt/inner/file", "mounted");

  using enum posix::Mounts;
  struct Case {
    const char* from = ".";  // the folder opened beneath, in the tree
    std::string path;
    int flags = O_RDONLY;
    posix::Mounts mounts = crossed;
    int error = 0;  // else opens `opens`, in the tree
    const char* opens = nullptr;
    const char* absent = nullptr;  // what neither road may make
    bool acrossMount = false;
  };
  const Case cases[] = {
      {.path = "a/b/file", .opens = "a/b/file"},
      {.path = "a//b/file", .opens = "a/b/file"},
      {.path = "./a/./b/file", .opens = "a/b/file"},
      {.path = ".", .flags = O_PATH | O_DIRECTORY, .opens = "."},
      {.path = "a/b/", .flags = O_PATH, .opens = "a/b"},
      {.path = "a/b/file/", .error = ENOTDIR},
      {.path = "", .error = ENOENT},
      {.path = "a/missing/file", .error = ENOENT},
      {.path = "a/b/file/more", .error = ENOTDIR},
      // A link on the way fails whatever the flags say of the last component.
      {.path = "a/folderLink/file", .error = ELOOP},
      {.path = "a/folderLink/file", .flags = O_PATH | O_NOFOLLOW, .error = ELOOP},
      // A link as the last component.
      {.path = "a/b/fileLink", .error = ELOOP},
      {.path = "a/b/fileLink", .flags = O_PATH, .error = ELOOP},
      {.path = "a/b/fileLink", .flags = O_RDONLY | O_NOFOLLOW, .error = ELOOP},
      {.path = "a/b/fileLink", .flags = O_PATH | O_NOFOLLOW, .opens = "a/b/fileLink"},
      {.path = "a/folderLink", .flags = O_DIRECTORY, .error = ELOOP},
      {.path = "a/folderLink", .flags = O_DIRECTORY | O_NOFOLLOW, .error = ENOTDIR},
      // Upward and absolute paths, even those that would stay beneath.
      {.path = "a/../a/b/file", .error = EXDEV},
      {.path = "a/b/..", .flags = O_PATH, .error = EXDEV},
      {.path = "..", .flags = O_PATH, .error = EXDEV},
      {.from = "a", .path = "../a/b/file", .error = EXDEV},
      {.path = "/", .flags = O_PATH, .error = EXDEV},
      {.path = (tree / "a/b/file").string(), .error = EXDEV},
      // Creating, and never through a link.
      {.path = "c/new", .flags = O_CREAT | O_EXCL | O_WRONLY, .opens = "c/new"},
      {.path = "a/folderLink/new",
       .flags = O_CREAT | O_WRONLY,
       .error = ELOOP,
       .absent = "a/b/new"},
      {.path = "c/dangling", .flags = O_CREAT | O_WRONLY, .error = ELOOP, .absent = "c/escaped"},
      // A mount point on the way and as the last component.
      {.path = "mnt/inner/file", .opens = "mnt/inner/file", .acrossMount = true},
      {.path = "mnt", .flags = O_PATH | O_DIRECTORY, .opens = "mnt", .acrossMount = true},
      {.path = "mnt/inner/file", .mounts = refused, .error = EXDEV, .acrossMount = true},
      {.path = "mnt",
       .flags = O_PATH | O_DIRECTORY,
       .mounts = refused,
       .error = EXDEV,
       .acrossMount = true},
      {.path = "mnt/", .flags = O_PATH, .mounts = refused, .error = EXDEV, .acrossMount = true},
      // Beneath a mount's root, nothing is crossed.
      {.from = "mnt",
       .path = "inner/file",
       .mounts = refused,
       .opens = "mnt/inner/file",
       .acrossMount = true},
      {.from = "mnt",
       .path = ".",
       .flags = O_PATH,
       .mounts = refused,
       .opens = "mnt",
       .acrossMount = true},
  };
  const posix::FileDescriptor root =
      posix::openAt(AT_FDCWD, tree.path().c_str(), O_PATH | O_DIRECTORY);
  ASSERT_TRUE(root.valid());
  if (!openBeneathByWalking(root.get(), ".", O_PATH, crossed)) {
    GTEST_SKIP() << "this machine does not let a process install a filter";
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    if (c.acrossMount && !mount.ok()) continue;
    const char* path = c.path.c_str();
    SCOPED_TRACE(::testing::Message() << "case " << i << ": \"" << path << "\" beneath \"" << c.from
                                      << "\", flags " << std::oct << c.flags);
    const posix::FileDescriptor folder = posix::openAt(root.get(), c.from, O_PATH | O_DIRECTORY);
    ASSERT_TRUE(folder.valid());
    const auto expected = [&] {
      return c.opens ? itemAt(tree / c.opens) : Opened{.error = c.error};
    };
    const auto cleanUp = [&] {
      if ((c.flags & O_CREAT) != 0 && c.opens) fs::remove(tree / c.opens);
      if (c.absent && fs::exists(fs::symlink_status(tree / c.absent))) {
        ADD_FAILURE() << c.absent << " made";
        fs::remove(tree / c.absent);
      }
    };

    const Opened byOpenat2 = openBeneath(folder.get(), path, c.flags, c.mounts);
    EXPECT_EQ(byOpenat2, expected()) << "by openat2";
    cleanUp();
    const auto byWalking = openBeneathByWalking(folder.get(), path, c.flags, c.mounts);
    ASSERT_TRUE(byWalking);
    EXPECT_EQ(*byWalking, expected()) << "by the walk";
    cleanUp();
  }
  if (!mount.ok()) GTEST_SKIP() << "the cases across a mount point did not run: " << mount.why();
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
