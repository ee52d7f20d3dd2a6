// copyIn where the file system shares extents between files: a copy of 1 GiB is a clone, made in
// constant time without moving data, and independent of its source afterwards. Each file system
// lives in a loop-mounted image of the test's making; without its tools or a loop device, the
// case is skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "DidedaZiv/AudioIntake.hpp"
#include "tests/support/Mounts.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/Urls.hpp"

namespace {

namespace fs = std::filesystem;
using testing_support::fileURL;
using testing_support::folderURL;
constexpr std::uint64_t mebibyte = std::uint64_t{1024} * 1024;
constexpr std::uint64_t gibibyte = 1024 * mebibyte;
// The source is 1 GiB long and allocated throughout; 1 MiB of it is written every 64 MiB, so that
// data lies all along it while the image stays small. A copy of the data would take 16 MiB.
constexpr std::uint64_t writtenEvery = 64 * mebibyte;
constexpr std::uint64_t writtenBytes = gibibyte / writtenEvery * mebibyte;

class File {
 public:
  File(const fs::path& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + path.string());
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { ::close(fd_); }
  int fd() const { return fd_; }

  // `length` bytes of `byte` at `offset`, written through to the disk.
  void fill(std::uint64_t offset, std::uint64_t length, char byte) const {
    const std::string chunk(length, byte);
    ASSERT_EQ(::pwrite(fd_, chunk.data(), chunk.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(chunk.size()));
    ASSERT_EQ(::fsync(fd_), 0);
  }
  std::string read(std::uint64_t offset, std::uint64_t length) const {
    std::string bytes(length, '\0');
    bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(
        0, ::pread(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)))));
    return bytes;
  }

 private:
  int fd_;
};

void makeSource(const fs::path& path) {
  fs::create_directories(path.parent_path());
  const File source(path, O_WRONLY | O_CREAT | O_TRUNC);
  ASSERT_EQ(::fallocate(source.fd(), 0, 0, static_cast<off_t>(gibibyte)), 0)
      << std::generic_category().message(errno);
  for (std::uint64_t offset = 0; offset < gibibyte; offset += writtenEvery) {
    source.fill(offset, mebibyte, 'a');
  }
}

// The bytes in the file's written extents, and how many of them the file system says it shares
// with another file.
struct Extents {
  std::uint64_t written = 0;
  std::uint64_t shared = 0;
};

Extents extentsOf(const fs::path& path) {
  const File file(path, O_RDONLY);
  constexpr unsigned perCall = 64;
  const std::size_t size = sizeof(fiemap) + perCall * sizeof(fiemap_extent);
  const auto buffer = std::make_unique<std::uint64_t[]>(size / sizeof(std::uint64_t) + 1);
  auto* const map = reinterpret_cast<fiemap*>(buffer.get());  // NOLINT: the kernel's layout
  Extents extents;
  std::uint64_t start = 0;
  for (;;) {
    std::memset(map, 0, size);
    map->fm_start = start;
    map->fm_length = FIEMAP_MAX_OFFSET - start;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = perCall;
    if (::ioctl(file.fd(), FS_IOC_FIEMAP, map) != 0 || map->fm_mapped_extents == 0) return extents;
    for (unsigned i = 0; i < map->fm_mapped_extents; ++i) {
      const fiemap_extent& extent = map->fm_extents[i];
      if ((extent.fe_flags & FIEMAP_EXTENT_UNWRITTEN) == 0) {
        extents.written += extent.fe_length;
        if ((extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0) extents.shared += extent.fe_length;
      }
      start = extent.fe_logical + extent.fe_length;
      if ((extent.fe_flags & FIEMAP_EXTENT_LAST) != 0) return extents;
    }
  }
}

std::uint64_t freeBytes(const fs::path& folder) {
  struct statvfs status {};
  if (::statvfs(folder.c_str(), &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.f_bfree) * status.f_frsize;
}

void syncFileSystem(const fs::path& folder) {
  const File any(folder, O_RDONLY | O_DIRECTORY);
  ::syncfs(any.fd());
}

TEST(Reflink, ACopyIsAConstantTimeCloneIndependentOfItsSource) {
  struct Case {
    const char* type;
    std::vector<std::string> mkfsOptions;
  };
  const Case cases[] = {
      {"xfs", {"-q", "-m", "reflink=1"}},
      {"btrfs", {"-q"}},
  };
  std::string skipped;
  std::size_t skippedCases = 0;
  for (const Case& sample : cases) {
    SCOPED_TRACE(sample.type);
    const testing_support::TempFolder temp;
    const fs::path root = temp / "mounted";
    const auto mount = testing_support::ScopedMount::loopImage(temp / "image", root, sample.type,
                                                               sample.mkfsOptions, 3 * gibibyte);
    if (!mount.ok()) {
      skipped += mount.why() + "\n";
      ++skippedCases;
      continue;
    }
    const fs::path source = root / "source/Take.m4a";
    makeSource(source);
    syncFileSystem(root);
    const std::uint64_t freeBefore = freeBytes(root);

    const auto start = std::chrono::steady_clock::now();
    const platform::Url copy =
        DidedaZiv::AudioIntake::copyIn(fileURL(source), folderURL(root / "inbox"), "Take.m4a");
    const auto took = std::chrono::steady_clock::now() - start;

    // Milliseconds on an idle machine; the bound leaves room for a busy one, and is still far
    // below what moving the data takes.
    EXPECT_LT(took, std::chrono::milliseconds(500))
        << std::chrono::duration<double, std::milli>(took).count() << " ms";
    EXPECT_EQ(fs::file_size(copy.path()), gibibyte);
    const Extents extents = extentsOf(copy.path());
    EXPECT_GE(extents.written, writtenBytes);
    EXPECT_EQ(extents.shared, extents.written) << "every written extent is the source's";
    syncFileSystem(root);
    EXPECT_LT(freeBefore - freeBytes(root), writtenBytes / 4) << "the data was not copied";

    // Writing the source afterwards leaves the copy as it was.
    {
      const File writable(source, O_WRONLY);
      writable.fill(0, mebibyte, 'b');
      writable.fill(gibibyte / 2, mebibyte, 'b');
    }
    const File original(source, O_RDONLY);
    const File copied(copy.path(), O_RDONLY);
    for (const std::uint64_t offset : {std::uint64_t{0}, gibibyte / 2, gibibyte - writtenEvery}) {
      EXPECT_EQ(copied.read(offset, 16), std::string(16, 'a')) << "at " << offset;
    }
    EXPECT_EQ(original.read(gibibyte / 2, 16), std::string(16, 'b'));
  }
  if (skippedCases == std::size(cases)) GTEST_SKIP() << skipped;
  if (skippedCases > 0) std::printf("not tried here:\n%s", skipped.c_str());
}

}  // namespace
