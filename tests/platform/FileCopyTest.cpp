#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/CopyCancellation.hpp"
#include "platform/CopyProgress.hpp"
#include "platform/FileManager.hpp"
#include "tests/support/Mounts.hpp"
#include "tests/support/RefusedSystemCalls.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/Urls.hpp"

namespace {

namespace fs = std::filesystem;
constexpr std::size_t kibibyte = 1024;
constexpr std::size_t mebibyte = 1024 * kibibyte;
using platform::fileManager::copyItem;
using ::testing::ElementsAre;
using testing_support::fileURL;
using testing_support::Match;
using testing_support::namesIn;
using testing_support::readFile;
using testing_support::refuseSystemCalls;
using testing_support::runInChild;
using testing_support::writeFile;

// The error code copyItem fails with, or 0 when it succeeds.
int errorOfCopy(const fs::path& from, const fs::path& to) {
  try {
    copyItem(fileURL(from), fileURL(to));
    return 0;
  } catch (const std::system_error& error) {
    return error.code().value();
  }
}

struct stat statOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info;
}

class FileCopy : public ::testing::Test {
 protected:
  testing_support::TempFolder temp;
};

TEST_F(FileCopy, CopiesAFileWithItsPermissionBitsAndDatesOfItsOwn) {
  struct Case {
    mode_t sourceMode;
    mode_t copyMode;
  };
  const Case cases[] = {
      {0600, 0600}, {0640, 0640}, {0755, 0755},
      {0444, 0444}, {0000, 0000}, {04755, 0755},  // set-id bits are not handed on to a copy
  };
  const std::string content = testing_support::patterned(3 * mebibyte + 17);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::oct << c.sourceMode);
    const fs::path folder = temp / std::to_string(c.sourceMode);
    writeFile(folder / "source", content);
    ASSERT_EQ(::chmod((folder / "source").c_str(), c.sourceMode), 0);
    const struct timespec old[2] = {{978307200, 0}, {978307200, 0}};  // 2001-01-01
    ASSERT_EQ(::utimensat(AT_FDCWD, (folder / "source").c_str(), old, 0), 0);
    const std::time_t before = std::time(nullptr);

    ASSERT_EQ(errorOfCopy(folder / "source", folder / "copy"), 0);

    EXPECT_EQ(readFile(folder / "copy"), content);
    const struct stat copied = statOf(folder / "copy");
    EXPECT_TRUE(S_ISREG(copied.st_mode));
    EXPECT_EQ(copied.st_mode & 07777, c.copyMode);
    EXPECT_GE(copied.st_mtime, before);
    EXPECT_THAT(namesIn(folder), ElementsAre("copy", "source"));
  }
}

TEST_F(FileCopy, CopiesAnEmptyFile) {
  writeFile(temp / "empty", "");
  ASSERT_EQ(errorOfCopy(temp / "empty", temp / "copy"), 0);
  EXPECT_EQ(fs::file_size(temp / "copy"), 0u);
}

TEST_F(FileCopy, NeverReplacesWhatLiesAtTheTarget) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
    std::function<bool(const fs::path&)> unchanged;
  };
  const Case cases[] = {
      {"a file", [](const fs::path& p) { writeFile(p, "earlier"); },
       [](const fs::path& p) { return readFile(p) == "earlier"; }},
      {"an empty folder", [](const fs::path& p) { fs::create_directory(p); },
       [](const fs::path& p) { return fs::is_directory(p) && fs::is_empty(p); }},
      {"a dangling link", [](const fs::path& p) { fs::create_symlink("nowhere", p); },
       [](const fs::path& p) { return fs::read_symlink(p) == "nowhere"; }},
  };
  writeFile(temp / "source", "new");
  fs::create_directories(temp / "source folder" / "inside");
  for (const auto& c : cases) {
    for (const char* source : {"source", "source folder"}) {
      SCOPED_TRACE(::testing::Message() << source << " onto " << c.what);
      const fs::path folder = temp / "into" / c.what / source;
      fs::create_directories(folder);
      c.make(folder / "target");
      EXPECT_EQ(errorOfCopy(temp / source, folder / "target"), EEXIST);
      EXPECT_TRUE(c.unchanged(folder / "target"));
      EXPECT_THAT(namesIn(folder), ElementsAre("target"));
    }
  }
}

TEST_F(FileCopy, CopiesALinkAsTheFileItPointsTo) {
  writeFile(temp / "real.m4a", "audio");
  fs::create_symlink("real.m4a", temp / "link.m4a");
  ASSERT_EQ(errorOfCopy(temp / "link.m4a", temp / "copy.m4a"), 0);
  EXPECT_FALSE(fs::is_symlink(temp / "copy.m4a"));
  EXPECT_EQ(readFile(temp / "copy.m4a"), "audio");

  fs::create_symlink("gone.m4a", temp / "dangling.m4a");
  EXPECT_EQ(errorOfCopy(temp / "dangling.m4a", temp / "other.m4a"), ENOENT);
  EXPECT_FALSE(fs::exists(fs::symlink_status(temp / "other.m4a")));
}

TEST_F(FileCopy, CopiesAFolderWholeWithLinksInsideStayingLinks) {
  const fs::path source = temp / "Session";
  writeFile(source / "take.m4a", "take");
  writeFile(source / "parts" / "one.m4a", testing_support::patterned(200000));
  writeFile(source / ".hidden", "hidden");
  fs::create_directories(source / "empty");
  fs::create_directories(source / "locked");
  writeFile(source / "locked" / "inside", "locked in");
  ASSERT_EQ(::chmod((source / "locked").c_str(), 0555), 0);
  ASSERT_EQ(::chmod((source / "take.m4a").c_str(), 0640), 0);
  fs::create_symlink("../take.m4a", source / "parts" / "relative");
  fs::create_symlink(temp / "outside", source / "absolute");
  fs::create_symlink("missing", source / "dangling");
  fs::create_directory_symlink(temp.path(), source / "up");  // would loop if followed
  writeFile(temp / "outside", "outside");

  ASSERT_EQ(errorOfCopy(source, temp / "Copy"), 0);

  const fs::path copy = temp / "Copy";
  EXPECT_THAT(namesIn(copy), ElementsAre(".hidden", "absolute", "dangling", "empty", "locked",
                                         "parts", "take.m4a", "up"));
  EXPECT_EQ(readFile(copy / "take.m4a"), "take");
  EXPECT_EQ(statOf(copy / "take.m4a").st_mode & 07777, 0640u);
  EXPECT_EQ(readFile(copy / "parts" / "one.m4a"), testing_support::patterned(200000));
  EXPECT_EQ(readFile(copy / ".hidden"), "hidden");
  EXPECT_TRUE(fs::is_empty(copy / "empty"));
  EXPECT_EQ(statOf(copy / "locked").st_mode & 07777, 0555u);
  EXPECT_EQ(readFile(copy / "locked" / "inside"), "locked in");
  EXPECT_EQ(fs::read_symlink(copy / "parts" / "relative"), "../take.m4a");
  EXPECT_EQ(fs::read_symlink(copy / "absolute"), temp / "outside");
  EXPECT_EQ(fs::read_symlink(copy / "dangling"), "missing");
  EXPECT_EQ(fs::read_symlink(copy / "up"), temp.path());
  EXPECT_EQ(statOf(copy).st_mode & 07777, statOf(source).st_mode & 07777);
  EXPECT_THAT(namesIn(temp.path()), ElementsAre("Copy", "Session", "outside"));
  ASSERT_EQ(::chmod((copy / "locked").c_str(), 0755), 0);
  ASSERT_EQ(::chmod((source / "locked").c_str(), 0755), 0);
}

TEST_F(FileCopy, FailsWithTheSystemsErrorWhenSourceOrFolderIsMissing) {
  writeFile(temp / "source", "data");
  EXPECT_EQ(errorOfCopy(temp / "missing", temp / "copy"), ENOENT);
  EXPECT_EQ(errorOfCopy(temp / "source", temp / "no folder" / "copy"), ENOENT);
  EXPECT_EQ(errorOfCopy(temp / "source", temp / "source" / "copy"), ENOTDIR);
  // A NUL would cut the path short, to another item.
  using namespace std::string_literals;
  EXPECT_EQ(errorOfCopy(temp / "source\0.m4a"s, temp / "copy"), EINVAL);
  EXPECT_EQ(errorOfCopy(temp / "source", temp / "copy\0.m4a"s), EINVAL);
  EXPECT_THAT(namesIn(temp.path()), ElementsAre("source"));
}

// A web link's path may well name a local file; copying it would read or write that file.
TEST_F(FileCopy, RefusesUrlsThatAreNotFileUrls) {
  writeFile(temp / "source", "data");
  const auto webLink = [](const fs::path& path) {
    return *platform::Url::parse("https://example.org" + path.string());
  };
  struct Case {
    platform::Url from;
    platform::Url to;
  };
  const Case cases[] = {
      {webLink(temp / "source"), fileURL(temp / "copy")},
      {fileURL(temp / "source"), webLink(temp / "copy")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from.absoluteString() + " to " + c.to.absoluteString());
    try {
      copyItem(c.from, c.to);
      ADD_FAILURE() << "copied";
    } catch (const std::system_error& error) {
      EXPECT_EQ(error.code(), std::error_code(EINVAL, std::generic_category()));
    }
    EXPECT_THAT(namesIn(temp.path()), ElementsAre("source"));
  }
}

TEST_F(FileCopy, RefusesToCopyAFolderIntoItself) {
  writeFile(temp / "Session" / "take.m4a", "take");
  fs::create_directories(temp / "Session" / "sub");
  EXPECT_EQ(errorOfCopy(temp / "Session", temp / "Session" / "sub" / "Copy"), EINVAL);
  EXPECT_THAT(namesIn(temp / "Session"), ElementsAre("sub", "take.m4a"));
  EXPECT_TRUE(fs::is_empty(temp / "Session" / "sub"));
}

TEST_F(FileCopy, FailsOnAFullDiskLeavingNothingBehind) {
  auto disk = testing_support::ScopedMount::tinyTmpfs(temp / "disk", 64 * kibibyte);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  writeFile(temp / "disk" / "earlier", "earlier");
  writeFile(temp / "big", testing_support::patterned(mebibyte));
  for (int i = 0; i < 8; ++i)
    writeFile(temp / "Session" / "part" / std::to_string(i), testing_support::patterned(16384));

  EXPECT_EQ(errorOfCopy(temp / "big", temp / "disk" / "big"), ENOSPC);
  EXPECT_EQ(errorOfCopy(temp / "Session", temp / "disk" / "Session"), ENOSPC);
  EXPECT_THAT(namesIn(temp / "disk"), ElementsAre("earlier"));
  // The space is given back: what fits still copies.
  writeFile(temp / "small", "small");
  EXPECT_EQ(errorOfCopy(temp / "small", temp / "disk" / "small"), 0);
  EXPECT_EQ(readFile(temp / "disk" / "small"), "small");
}

TEST_F(FileCopy, FailsForAnUnreadableSourceLeavingNothingBehind) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  constexpr unsigned nobody = 65534;
  const fs::path into = temp / "into";
  fs::create_directories(into);
  ASSERT_EQ(::chmod(into.c_str(), 0777), 0);
  writeFile(temp / "secret.m4a", "secret");
  ASSERT_EQ(::chmod((temp / "secret.m4a").c_str(), 0600), 0);
  writeFile(temp / "Session" / "open.m4a", testing_support::patterned(100000));
  writeFile(temp / "Session" / "secret.m4a", "secret");
  ASSERT_EQ(::chmod((temp / "Session" / "secret.m4a").c_str(), 0600), 0);

  for (const char* source : {"secret.m4a", "Session"}) {
    SCOPED_TRACE(source);
    const int exitCode = runInChild([&] {
      if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)
        return 125;
      return errorOfCopy(temp / source, into / source);
    });
    EXPECT_EQ(exitCode, EACCES);
    EXPECT_TRUE(fs::is_empty(into));
  }
}

// Every name that appears in `folder` while `body` runs, in order (created, or moved in).
std::vector<std::string> namesAppearingDuring(const fs::path& folder,
                                              const std::function<void()>& body) {
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  EXPECT_GE(watch, 0);
  EXPECT_GE(::inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  body();
  std::vector<std::string> names;
  alignas(inotify_event) std::array<char, 64 * kibibyte> events{};
  for (ssize_t got; (got = ::read(watch, events.data(), events.size())) > 0;) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events.data() + at);
      names.emplace_back(event->name);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  return names;
}

TEST_F(FileCopy, AFileAppearsUnderItsNameOnlyWhenCompleteAndUnderNoOtherName) {
  const std::string content = testing_support::patterned(8 * mebibyte + 5);
  writeFile(temp / "source" / "Take.m4a", content);
  fs::create_directories(temp / "into");

  const auto appeared = namesAppearingDuring(temp / "into", [&] {
    EXPECT_EQ(errorOfCopy(temp / "source" / "Take.m4a", temp / "into" / "Take.m4a"), 0);
  });

  // Written unnamed: not even a hidden name that a kill could leave behind.
  EXPECT_THAT(appeared, ElementsAre("Take.m4a"));
  EXPECT_EQ(readFile(temp / "into" / "Take.m4a"), content);
}

TEST_F(FileCopy, RefusesWhatIsNeitherFileNorFolderWithoutWaiting) {
  ASSERT_EQ(::mkfifo((temp / "pipe").c_str(), 0600), 0);  // no writer: opening could wait
  const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (temp / "socket").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  fs::create_directories(temp / "into");

  struct Case {
    fs::path source;
    int error;
  };
  // A pipe holding nothing with no writer: no data, and none can come without waiting.
  const Case cases[] = {
      {temp / "pipe", ENODATA}, {temp / "socket", EINVAL}, {fs::path("/dev/null"), EINVAL}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    EXPECT_EQ(errorOfCopy(c.source, temp / "into" / "copy"), c.error);
  }
  ::close(listening);
  EXPECT_TRUE(fs::is_empty(temp / "into"));
}

// A pipe is read to the end of what its writer writes, whenever that begins; one whose writer
// leaves without writing holds nothing to copy.
TEST_F(FileCopy, CopiesAPipeToTheEndOfWhatItsWriterWrites) {
  enum class Pipe { anonymous, named };
  struct Case {
    const char* what;
    Pipe pipe;
    std::chrono::milliseconds firstByteAfter;
    std::size_t bytes;  // written, then the writer closes
  };
  using std::chrono::milliseconds;
  const Case cases[] = {
      {"an anonymous pipe, by its /dev/fd name", Pipe::anonymous, milliseconds(0), mebibyte + 17},
      {"an anonymous pipe whose writer starts late", Pipe::anonymous, milliseconds(300),
       100 * kibibyte},
      {"a named pipe whose writer is already writing", Pipe::named, milliseconds(0), mebibyte},
      {"a named pipe whose writer starts late", Pipe::named, milliseconds(300), 3 * kibibyte},
      {"a writer that leaves without writing", Pipe::anonymous, milliseconds(100), 0},
      {"a named pipe's writer that leaves without writing", Pipe::named, milliseconds(100), 0},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = temp / std::to_string(index++);
    fs::create_directories(folder / "into");
    const std::string content = testing_support::patterned(c.bytes);
    std::array<int, 2> ready{};
    std::array<int, 2> ends{-1, -1};
    ASSERT_EQ(::pipe2(ready.data(), O_CLOEXEC), 0);
    fs::path source = folder / "Take.m4a";
    if (c.pipe == Pipe::named) {
      ASSERT_EQ(::mkfifo(source.c_str(), 0600), 0);
    } else {
      ASSERT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
      source = "/dev/fd/" + std::to_string(ends[0]);
    }

    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      // Read-write: present as the named pipe's writer at once, before the copy opens it.
      const int out = c.pipe == Pipe::named ? ::open(source.c_str(), O_RDWR) : ends[1];
      if (out < 0 || ::write(ready[1], "r", 1) != 1) ::_exit(1);
      const struct timespec pause = {0, static_cast<long>(c.firstByteAfter.count()) * 1'000'000};
      ::nanosleep(&pause, nullptr);
      for (std::size_t done = 0; done < content.size();) {
        const ssize_t written = ::write(out, content.data() + done, content.size() - done);
        if (written <= 0) ::_exit(1);
        done += static_cast<std::size_t>(written);
      }
      ::_exit(0);
    }
    if (ends[1] >= 0) ::close(ends[1]);  // the writer's alone
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    const int error = errorOfCopy(source, folder / "into" / "copy");

    ::kill(writer, SIGKILL);  // one that the copy left waiting
    ::waitpid(writer, nullptr, 0);
    for (const int fd : {ready[0], ready[1], ends[0]}) {
      if (fd >= 0) ::close(fd);
    }
    if (c.bytes == 0) {
      EXPECT_EQ(error, ENODATA);
      EXPECT_TRUE(fs::is_empty(folder / "into"));
    } else {
      ASSERT_EQ(error, 0);
      EXPECT_THAT(namesIn(folder / "into"), ElementsAre("copy"));
      EXPECT_EQ(readFile(folder / "into" / "copy"), content);
    }
  }
}

TEST_F(FileCopy, LeavesPipesSocketsAndDevicesOutOfACopiedFolder) {
  const fs::path source = temp / "Session";
  writeFile(source / "take.m4a", "take");
  ASSERT_EQ(::mkfifo((source / "pipe").c_str(), 0600), 0);
  const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (source / "socket").string();
  socketPath.copy(address.sun_path, std::min(socketPath.size(), sizeof address.sun_path - 1));
  ASSERT_EQ(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  // The null device's own numbers: harmless, and only root may make one.
  const bool device = ::mknod((source / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0;
  fs::create_directories(temp / "into");
  ASSERT_EQ(::chmod((temp / "into").c_str(), 0777), 0);
  ASSERT_EQ(::chmod(temp.path().c_str(), 0755), 0);

  struct Case {
    const char* who;
    std::optional<unsigned> user;
  };
  for (const Case& c : {Case{"root", std::nullopt}, Case{"an ordinary user", 65534u}}) {
    SCOPED_TRACE(c.who);
    if (c.user && ::geteuid() != 0) continue;
    const fs::path copy = temp / "into" / c.who;
    const int exitCode = runInChild([&] {
      if (c.user &&
          (::setgroups(0, nullptr) != 0 || ::setgid(*c.user) != 0 || ::setuid(*c.user) != 0)) {
        return 125;
      }
      return errorOfCopy(source, copy);
    });
    ASSERT_EQ(exitCode, 0) << "one special entry must not fail the whole folder";
    EXPECT_THAT(namesIn(copy), ElementsAre("take.m4a"));
  }
  ::close(listening);
  if (!device) GTEST_SKIP() << "no device node could be made here; pipes and sockets checked";
}

// 1 GiB holding 4 KiB: cp's copy of it takes a few KiB, and so must ours, on a disk far smaller
// than the file.
TEST_F(FileCopy, KeepsHolesAsCpDoes) {
  auto disk = testing_support::ScopedMount::tinyTmpfs(temp / "disk", 64 * mebibyte);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  constexpr off_t gibibyte = off_t{1} << 30;
  const std::string data = testing_support::patterned(4 * kibibyte);
  const fs::path source = temp / "disk" / "sparse.wav";
  {
    const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), gibibyte / 2),
              static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::ftruncate(fd, gibibyte), 0);
    ::close(fd);
  }
  // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread of the test runs meanwhile
  ASSERT_EQ(std::system(("cp --sparse=auto '" + source.string() + "' '" +
                         (temp / "disk" / "by cp.wav").string() + "'")
                            .c_str()),
            0);

  ASSERT_EQ(errorOfCopy(source, temp / "disk" / "copy.wav"), 0);

  const struct stat copied = statOf(temp / "disk" / "copy.wav");
  EXPECT_EQ(copied.st_size, gibibyte);
  EXPECT_LE(copied.st_blocks, statOf(temp / "disk" / "by cp.wav").st_blocks);
  const int fd = ::open((temp / "disk" / "copy.wav").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::string readBack(data.size(), '\0');
  EXPECT_EQ(::pread(fd, readBack.data(), readBack.size(), gibibyte / 2),
            static_cast<ssize_t>(data.size()));
  EXPECT_EQ(readBack, data);
  EXPECT_EQ(::lseek(fd, 0, SEEK_DATA), gibibyte / 2) << "nothing but zeros before the data";
  ::close(fd);
}

TEST_F(FileCopy, TakesTheSourcesBitsLessTheUmask) {
  struct Case {
    mode_t umask;
    mode_t fileMode;
    mode_t expectedFile;
    mode_t expectedFolder;  // of a 0777 folder holding the file
  };
  const Case cases[] = {
      {077, 0777, 0700, 0700}, {027, 0666, 0640, 0750}, {022, 0755, 0755, 0755},
      {0, 0640, 0640, 0777},   {022, 0400, 0400, 0755},  // made unwritable, and still filled
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "umask " << std::oct << c.umask << ", source " << c.fileMode);
    const fs::path folder = temp / (std::to_string(c.umask) + "-" + std::to_string(c.fileMode));
    writeFile(folder / "Session" / "take.m4a", "take");
    ASSERT_EQ(::chmod((folder / "Session" / "take.m4a").c_str(), c.fileMode), 0);
    ASSERT_EQ(::chmod((folder / "Session").c_str(), 0777), 0);

    const int exitCode = runInChild([&] {
      ::umask(c.umask);
      if (const int e = errorOfCopy(folder / "Session" / "take.m4a", folder / "take.m4a")) return e;
      return errorOfCopy(folder / "Session", folder / "Copy");
    });

    ASSERT_EQ(exitCode, 0);
    EXPECT_EQ(statOf(folder / "take.m4a").st_mode & 07777, c.expectedFile);
    EXPECT_EQ(statOf(folder / "Copy").st_mode & 07777, c.expectedFolder);
    EXPECT_EQ(statOf(folder / "Copy" / "take.m4a").st_mode & 07777, c.expectedFile);
  }
}

// Makes the kernel answer renameat2 with EINVAL, copy_file_range with ENOSYS and openat with
// O_TMPFILE with EOPNOTSUPP for this process, as file systems and kernels without them do.
bool refuseNoReplaceAndKernelCopy() {
  return refuseSystemCalls({
      {.call = __NR_renameat2, .error = EINVAL},
      {.call = __NR_copy_file_range, .error = ENOSYS},
      {.call = __NR_openat,
       .error = EOPNOTSUPP,
       .match = Match::anyBitOf,
       .argument = 2,
       .value = O_TMPFILE & ~O_DIRECTORY},
  });
}

TEST_F(FileCopy, CopiesWhereTheKernelRefusesRenamingWithoutReplacingOrCopyingItself) {
  const std::string content = testing_support::patterned(mebibyte + 3);
  writeFile(temp / "take.m4a", content);
  writeFile(temp / "Session" / "take.m4a", "take");
  fs::create_symlink("take.m4a", temp / "Session" / "link");
  ASSERT_EQ(::chmod((temp / "Session").c_str(), 0550), 0);
  writeFile(temp / "into" / "taken.m4a", "earlier");

  const int exitCode = runInChild([&] {
    if (!refuseNoReplaceAndKernelCopy()) return 125;
    if (::syscall(__NR_renameat2, AT_FDCWD, "a", AT_FDCWD, "b", 0) != -1 || errno != EINVAL)
      return 124;
    if (::open(temp.path().c_str(), O_TMPFILE | O_WRONLY, 0600) != -1 || errno != EOPNOTSUPP)
      return 123;
    if (const int e = errorOfCopy(temp / "take.m4a", temp / "into" / "copy.m4a")) return 10 + e;
    if (const int e = errorOfCopy(temp / "Session", temp / "into" / "Session")) return 60 + e;
    if (errorOfCopy(temp / "take.m4a", temp / "into" / "taken.m4a") != EEXIST) return 120;
    return 0;
  });
  if (exitCode == 125) GTEST_SKIP() << "this machine does not let a process install a filter";
  ASSERT_EQ(exitCode, 0);
  EXPECT_EQ(readFile(temp / "into" / "copy.m4a"), content);
  EXPECT_EQ(readFile(temp / "into" / "Session" / "take.m4a"), "take");
  EXPECT_EQ(fs::read_symlink(temp / "into" / "Session" / "link"), "take.m4a");
  EXPECT_EQ(statOf(temp / "into" / "Session").st_mode & 07777, 0550u);
  EXPECT_EQ(readFile(temp / "into" / "taken.m4a"), "earlier");
  EXPECT_THAT(namesIn(temp / "into"), ElementsAre("Session", "copy.m4a", "taken.m4a"));
}

// An unnamed copy that cannot be given its name (the kernel refuses linkat with AT_EMPTY_PATH to
// an ordinary user, and /proc/self/fd is missing) is made anew from the source's start, under a
// hidden name first.
TEST_F(FileCopy, CopiesAnewFromTheStartWhereTheUnnamedCopyCannotBeNamed) {
  const std::string content = testing_support::patterned(mebibyte + 3);
  writeFile(temp / "source" / "Take.m4a", content);
  fs::create_directories(temp / "into");

  int exitCode = -1;
  const auto appeared = namesAppearingDuring(temp / "into", [&] {
    exitCode = runInChild([&] {
      const bool refused = refuseSystemCalls({
          {.call = __NR_linkat,
           .error = ENOENT,
           .match = Match::anyBitOf,
           .argument = 4,
           .value = AT_EMPTY_PATH | AT_SYMLINK_FOLLOW},
          // Where the file system shares extents, a clone takes the whole file whatever the
          // offset: only a copy by offset shows where it starts.
          {.call = __NR_ioctl,
           .error = EOPNOTSUPP,
           .match = Match::equals,
           .argument = 1,
           .value = FICLONE},
      });
      if (!refused) return 125;
      return errorOfCopy(temp / "source" / "Take.m4a", temp / "into" / "Take.m4a");
    });
  });
  if (exitCode == 125) GTEST_SKIP() << "this machine does not let a process install a filter";

  ASSERT_EQ(exitCode, 0);
  const std::string copied = readFile(temp / "into" / "Take.m4a");
  EXPECT_EQ(copied.size(), content.size());
  EXPECT_TRUE(copied == content) << "the bytes differ";
  ASSERT_EQ(appeared.size(), 2u) << "the second way: a hidden name, then its own";
  EXPECT_TRUE(appeared[0].starts_with(".Take.m4a.")) << appeared[0];
  EXPECT_EQ(appeared[1], "Take.m4a");
  EXPECT_THAT(namesIn(temp / "into"), ElementsAre("Take.m4a"));
}

// Makes the kernel fail renameat2 with EIO for this process: a copy that fails at its very end.
bool failRenaming() { return refuseSystemCalls({{.call = __NR_renameat2, .error = EIO}}); }

// By then the copy's folders carry their sources' bits, which forbid an ordinary user to take
// entries out of them: its cleanup must lift them first.
TEST_F(FileCopy, AFolderCopyFailingAtTheEndLeavesNothingThoughItsBitsForbidEmptyingIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  constexpr unsigned nobody = 65534;
  writeFile(temp / "Session" / "locked" / "take.m4a", "take");
  writeFile(temp / "Session" / "notes.txt", "notes");
  ASSERT_EQ(::chmod((temp / "Session" / "locked").c_str(), 0555), 0);
  ASSERT_EQ(::chmod((temp / "Session").c_str(), 0555), 0);
  fs::create_directories(temp / "into");
  ASSERT_EQ(::chmod((temp / "into").c_str(), 0777), 0);
  ASSERT_EQ(::chmod(temp.path().c_str(), 0755), 0);

  const int exitCode = runInChild([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) return 125;
    if (!failRenaming()) return 126;
    return errorOfCopy(temp / "Session", temp / "into" / "Session");
  });
  if (exitCode == 126) GTEST_SKIP() << "this machine does not let a process install a filter";
  EXPECT_EQ(exitCode, EIO);
  EXPECT_TRUE(fs::is_empty(temp / "into")) << "no hidden temporary left";
}

// Without RENAME_NOREPLACE a copied folder takes its name by a rename over an empty folder that
// claims it. For an ordinary user the copy is whole, read-only folders inside included, or
// nothing is left of it: neither a folder under its name nor a hidden one. A copy that fails
// before the rename never shows its name.
TEST_F(FileCopy, AFolderCopyWithoutRenamingWithoutReplacingIsWholeOrLeavesNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  constexpr unsigned nobody = 65534;
  struct Case {
    const char* what;
    bool unreadableInside = false;  // a file inside that the user cannot read
    bool renamingFails = false;     // renaming the copy over its claim fails
    int error = 0;
  };
  const Case cases[] = {
      {.what = "a read-only folder inside"},
      {.what = "a file inside that cannot be read", .unreadableInside = true, .error = EACCES},
      {.what = "renaming the copy fails", .renamingFails = true, .error = EIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const testing_support::TempFolder folder;
    const fs::path session = folder / "Session";
    writeFile(session / "a.m4a", testing_support::patterned(100000));
    writeFile(session / "locked" / "take.m4a", "take");
    writeFile(session / "z.m4a", "z");
    ASSERT_EQ(::chmod((session / "locked").c_str(), 0555), 0);
    if (c.unreadableInside) {
      writeFile(session / "secret.m4a", "secret");
      ASSERT_EQ(::chmod((session / "secret.m4a").c_str(), 0600), 0);
    }
    const fs::path into = folder / "into";
    fs::create_directories(into);
    ASSERT_EQ(::chmod(into.c_str(), 0777), 0);

    int exitCode = -1;
    const auto appeared = namesAppearingDuring(into, [&] {
      exitCode = runInChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)
          return 125;
        const testing_support::Refusal noReplace = {.call = __NR_renameat2,
                                                    .error = EINVAL,
                                                    .match = Match::anyBitOf,
                                                    .argument = 4,
                                                    .value = RENAME_NOREPLACE};
        // renameat() is renameat2 without flags where the architecture has no call of its own.
        const testing_support::Refusal plainRenaming =
#ifdef __NR_renameat
            {.call = __NR_renameat, .error = EIO};
#else
            {.call = __NR_renameat2, .error = EIO, .match = Match::equals, .argument = 4};
#endif
        const bool refused = c.renamingFails ? refuseSystemCalls({noReplace, plainRenaming})
                                             : refuseSystemCalls({noReplace});
        if (!refused) return 126;
        return errorOfCopy(session, into / "Session");
      });
    });
    if (exitCode == 126) GTEST_SKIP() << "this machine does not let a process install a filter";

    EXPECT_EQ(exitCode, c.error);
    if (c.error != 0) {
      EXPECT_THAT(namesIn(into), ::testing::IsEmpty()) << "not even a hidden temporary";
      if (!c.renamingFails) {
        EXPECT_THAT(appeared, ::testing::Not(::testing::Contains("Session")));
      }
      continue;
    }
    EXPECT_THAT(namesIn(into), ElementsAre("Session"));
    EXPECT_THAT(namesIn(into / "Session"), ElementsAre("a.m4a", "locked", "z.m4a"));
    EXPECT_EQ(readFile(into / "Session" / "a.m4a"), testing_support::patterned(100000));
    EXPECT_EQ(readFile(into / "Session" / "locked" / "take.m4a"), "take");
    EXPECT_EQ(statOf(into / "Session" / "locked").st_mode & 07777, 0555u);
  }
}

// --- cancellation and progress -----------------------------------------------------------------

// Lets copies run again whatever the test did.
class CancelledCopies : public FileCopy {
 protected:
  void TearDown() override { platform::copyCancellation::reset(); }
};

TEST_F(CancelledCopies, FailWithECanceledLeavingNothingAndEndAWaitOnAPipe) {
  enum class Source { file, folder, pipeNeverClosed };
  struct Case {
    const char* what;
    Source source;
    std::chrono::milliseconds cancelAfter;  // 0: before the copy starts
  };
  using std::chrono::milliseconds;
  const Case cases[] = {
      {.what = "a file", .source = Source::file, .cancelAfter = milliseconds(0)},
      {.what = "a folder", .source = Source::folder, .cancelAfter = milliseconds(0)},
      {.what = "a pipe whose writer never closes it, cancelled while the copy waits",
       .source = Source::pipeNeverClosed,
       .cancelAfter = milliseconds(300)},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::copyCancellation::reset();
    const fs::path folder = temp / std::to_string(index++);
    fs::create_directories(folder / "into");
    fs::path source = folder / "Take.m4a";
    std::array<int, 2> ends{-1, -1};
    switch (c.source) {
      case Source::file:
        writeFile(source, testing_support::patterned(mebibyte));
        break;
      case Source::folder:
        writeFile(source / "part", testing_support::patterned(kibibyte));
        break;
      case Source::pipeNeverClosed:
        ASSERT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
        ASSERT_EQ(::write(ends[1], "some", 4), 4);  // then nothing more, and no end
        source = "/dev/fd/" + std::to_string(ends[0]);
        break;
    }
    if (c.cancelAfter.count() == 0) platform::copyCancellation::cancelAll();
    std::thread canceller([&c] {
      if (c.cancelAfter.count() == 0) return;
      std::this_thread::sleep_for(c.cancelAfter);  // the copy is waiting on the pipe by now
      platform::copyCancellation::cancelAll();
    });
    const auto started = std::chrono::steady_clock::now();

    const int error = errorOfCopy(source, folder / "into" / "copy");

    const auto took = std::chrono::steady_clock::now() - started;
    canceller.join();
    for (const int fd : ends) {
      if (fd >= 0) ::close(fd);
    }
    EXPECT_EQ(error, ECANCELED);
    EXPECT_LT(took, c.cancelAfter + std::chrono::seconds(1));
    EXPECT_TRUE(fs::is_empty(folder / "into")) << "nothing, hidden or not";
  }
}

TEST_F(CancelledCopies, CopiesRunAgainOnceReset) {
  writeFile(temp / "Take.m4a", "take");
  platform::copyCancellation::cancelAll();
  ASSERT_EQ(errorOfCopy(temp / "Take.m4a", temp / "first"), ECANCELED);
  platform::copyCancellation::reset();
  EXPECT_EQ(errorOfCopy(temp / "Take.m4a", temp / "second"), 0);
  EXPECT_EQ(readFile(temp / "second"), "take");
}

TEST_F(FileCopy, CountsWhatItCopiesInTheProgressOfCopies) {
  auto disk = testing_support::ScopedMount::tinyTmpfs(temp / "disk", 8 * mebibyte);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  constexpr off_t sparseSize = off_t{256} * mebibyte;
  {
    const int fd = ::open((temp / "sparse.wav").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::string data = testing_support::patterned(4 * kibibyte);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), sparseSize / 3),
              static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::ftruncate(fd, sparseSize), 0);
    ::close(fd);
  }
  writeFile(temp / "Take.m4a", testing_support::patterned(3 * mebibyte + 5));
  writeFile(temp / "Session" / "a", testing_support::patterned(mebibyte));
  writeFile(temp / "Session" / "b", testing_support::patterned(7));
  writeFile(temp / "too big", testing_support::patterned(16 * mebibyte));
  struct Case {
    const char* what;
    fs::path from;
    fs::path to;
    std::uint64_t counted;  // added to both figures
  };
  const Case cases[] = {
      {.what = "a file", .from = temp / "Take.m4a", .to = temp / "c1", .counted = 3 * mebibyte + 5},
      {.what = "a file with holes, holes counted as passed over",
       .from = temp / "sparse.wav",
       .to = temp / "c2",
       .counted = sparseSize},
      {.what = "a folder's files",
       .from = temp / "Session",
       .to = temp / "c3",
       .counted = mebibyte + 7},
      {.what = "a copy that fails takes its bytes out again",
       .from = temp / "too big",
       .to = temp / "disk" / "c4",
       .counted = 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = platform::copyProgress();
    errorOfCopy(c.from, c.to);
    const auto after = platform::copyProgress();
    EXPECT_EQ(after.total - before.total, c.counted);
    EXPECT_EQ(after.completed - before.completed, c.counted);
  }
}

}  // namespace
