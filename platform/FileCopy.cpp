// copyItem: a copy that appears under its final name only when complete and never replaces.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/CopyCancellation.hpp"
#include "platform/FileManager.hpp"
#include "platform/detail/CopyMeter.hpp"
#include "platform/detail/FileRemoval.hpp"
#include "platform/detail/Posix.hpp"

namespace platform::fileManager {
namespace {

constexpr mode_t permissionBits = 0777;  // set-id and sticky bits are not carried over
constexpr std::size_t nameMax = 255;

using detail::CopyMeter;
using posix::FileDescriptor;

constexpr std::string_view kCopy = "copy";

// Every failure names the copy as a whole: "copy: <from> to <to>".
[[noreturn]] void fail(int error, const std::string& what) {
  posix::throwSystemError(error, kCopy, what);
}

FileDescriptor openOrFail(int folder, const char* name, int flags, const std::string& what,
                          mode_t mode = 0) {
  FileDescriptor fd = posix::openAt(folder, name, flags, mode);
  if (!fd.valid()) fail(errno, what);
  return fd;
}

struct stat statOrFail(int fd, const std::string& what) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) fail(errno, what);
  return info;
}

// --- data --------------------------------------------------------------------------------------

// Between two looks for cancellation: long enough that the look costs nothing (a thousand system
// calls a GiB), short enough that a copy from a slow disk (4 MiB/s) stops within a quarter second.
constexpr std::size_t copyChunk = std::size_t{1} << 20;
constexpr std::size_t bufferBytes = std::size_t{128} * 1024;
// How long a wait on a pipe goes before reading again: the end of a pipe whose writer came
// before it was opened here shows in a read alone (poll() does not report it).
constexpr int pipeRecheckMilliseconds = 100;

void failIfCancelled(const std::string& what) {
  if (copyCancellation::isCancelled()) fail(ECANCELED, what);
}

bool kernelRefusesCopy(int error) {
  return error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS ||
         error == EBADF || error == EPERM;
}

// copy_file_range to the end. False, with nothing copied, when the kernel cannot copy between
// these two files, or when it reports an empty source at once: files of /proc and the like
// report size 0, so reading must confirm the end.
bool copyInKernel(int from, int to, CopyMeter& meter, const std::string& what) {
  bool copiedAny = false;
  for (;;) {
    failIfCancelled(what);
    const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, copyChunk, 0);
    if (copied > 0) {
      copiedAny = true;
      meter.advance(static_cast<std::uint64_t>(copied));
    } else if (copied == 0) {
      return copiedAny;
    } else if (errno != EINTR) {
      if (!copiedAny && kernelRefusesCopy(errno)) return false;
      fail(errno, what);
    }
  }
}

// Waits until the non-blocking pipe `from` may have something to read, it may have ended, or the
// copies are cancelled (ECANCELED).
void awaitPipe(int from, const std::string& what) {
  std::array<pollfd, 2> waits{{{from, POLLIN, 0}, {copyCancellation::wakeDescriptor(), POLLIN, 0}}};
  const nfds_t count = waits[1].fd >= 0 ? 2 : 1;
  if (::poll(waits.data(), count, pipeRecheckMilliseconds) < 0 && errno != EINTR) fail(errno, what);
  failIfCancelled(what);
}

// Reads `from` from its current offset to its end into `to`, through one fixed buffer, counting
// on `meter` where there is one; a non-blocking pipe is waited on, and on cancellation with it
// (awaitPipe). The number of bytes copied.
std::uint64_t copyByReading(int from, int to, CopyMeter* meter, const std::string& what) {
  const auto buffer = std::make_unique_for_overwrite<char[]>(bufferBytes);
  std::uint64_t copied = 0;
  for (;;) {
    failIfCancelled(what);
    const ssize_t got = ::read(from, buffer.get(), bufferBytes);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) {
      awaitPipe(from, what);
      continue;
    }
    if (got < 0) fail(errno, what);
    if (got == 0) return copied;
    if (const int error = posix::writeAll(to, buffer.get(), static_cast<std::size_t>(got)))
      fail(error, what);
    copied += static_cast<std::uint64_t>(got);
    if (meter != nullptr) meter->advance(static_cast<std::uint64_t>(got));
  }
}

// Copies `length` bytes at `offset` of `from` to the same offset of `to`: in the kernel where it
// can, else through one fixed buffer.
void copyRange(int from, int to, off_t offset, off_t length, CopyMeter& meter,
               const std::string& what) {
  off_t in = offset;
  off_t out = offset;
  const off_t end = offset + length;
  bool inKernel = true;
  std::unique_ptr<char[]> buffer;
  while (in < end) {
    failIfCancelled(what);
    const auto wanted = static_cast<std::size_t>(std::min<off_t>(end - in, copyChunk));
    if (inKernel) {
      const ssize_t copied = ::copy_file_range(from, &in, to, &out, wanted, 0);
      if (copied > 0) {
        meter.advance(static_cast<std::uint64_t>(copied));
        continue;
      }
      if (copied == 0) return;  // the source shrank meanwhile
      if (errno == EINTR) continue;
      if (!kernelRefusesCopy(errno)) fail(errno, what);
      inKernel = false;
      buffer = std::make_unique_for_overwrite<char[]>(bufferBytes);
    }
    const ssize_t got = ::pread(from, buffer.get(), std::min(wanted, bufferBytes), in);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fail(errno, what);
    if (got == 0) return;
    for (ssize_t done = 0; done < got;) {
      const ssize_t written =
          ::pwrite(to, buffer.get() + done, static_cast<std::size_t>(got - done), out + done);
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) fail(errno, what);
      done += written;
    }
    in += got;
    out += got;
    meter.advance(static_cast<std::uint64_t>(got));
  }
}

// Copies only the data of a file with holes, leaving the holes holes: a 1 GiB file holding 4 KiB
// costs 4 KiB again, not 1 GiB. False, with nothing written, where the file system cannot tell
// data from holes.
bool copySparse(int from, int to, off_t size, CopyMeter& meter, const std::string& what) {
  off_t offset = 0;
  while (offset < size) {
    const off_t data = ::lseek(from, offset, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      if (offset == 0 && (errno == EINVAL || errno == EOPNOTSUPP)) return false;
      fail(errno, what);
    }
    off_t hole = ::lseek(from, data, SEEK_HOLE);
    if (hole < 0) fail(errno, what);
    hole = std::min(hole, size);
    meter.advance(static_cast<std::uint64_t>(std::max<off_t>(0, data - offset)));
    if (hole > data) copyRange(from, to, data, hole - data, meter, what);
    offset = std::max(hole, data);
  }
  if (offset < size) meter.advance(static_cast<std::uint64_t>(size - offset));
  if (::ftruncate(to, size) != 0) fail(errno, what);
  return true;
}

// Whether a refused clone left the target as it was: the file system or this pair of files
// cannot share extents at all.
bool cloneUnsupported(int error) {
  return error == EOPNOTSUPP || error == ENOTTY || error == EXDEV || error == EINVAL ||
         error == EBADF;
}

// Reads the pipe `from`, opened non-blocking, to its end into `to`: until the last writer has
// closed it, or at once where none holds it. A pipe that yields nothing holds no data to copy:
// ENODATA.
void copyPipe(int from, int to, const std::string& what) {
  if (copyByReading(from, to, nullptr, what) == 0) fail(ENODATA, what);
}

// Copies the data of the regular file or pipe `from` (whose status is `info`) into the empty file
// `to`: a shared-extent clone where the file system has one; else only the data of a file with
// holes; else in the kernel, else through one fixed buffer.
void copyData(int from, const struct stat& info, int to, CopyMeter& meter,
              const std::string& what) {
  if (S_ISFIFO(info.st_mode)) return copyPipe(from, to, what);
  const auto size = static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0));
  meter.expect(size);
  if (::ioctl(to, FICLONE, from) == 0) {
    meter.advance(size);
    return;
  }
  // A clone that failed part-way may still have touched the target. Only truncate then: on
  // ext4, truncating to zero makes close() flush the whole file, as for a file rewritten in place.
  if (!cloneUnsupported(errno) && statOrFail(to, what).st_size != 0 && ::ftruncate(to, 0) != 0) {
    fail(errno, what);
  }
  constexpr off_t blockBytes = 512;  // st_blocks' unit
  if (info.st_size > 0 && info.st_blocks * blockBytes < info.st_size &&
      copySparse(from, to, info.st_size, meter, what)) {
    return;
  }
  if (copyInKernel(from, to, meter, what)) return;
  copyByReading(from, to, &meter, what);
}

// --- permissions -------------------------------------------------------------------------------

// The process's file mode creation mask, read without changing it (umask() can only set it, and
// setting it back would race with other threads creating files). 022 where /proc cannot tell.
mode_t creationMask() {
  const FileDescriptor status = posix::openAt(AT_FDCWD, "/proc/self/status", O_RDONLY);
  if (!status.valid()) return 022;
  std::array<char, 4096> text{};
  const ssize_t got = posix::readAll(status.get(), text.data(), text.size() - 1);
  if (got <= 0) return 022;
  const std::string_view content(text.data(), static_cast<std::size_t>(got));
  const std::size_t line = content.find("\nUmask:");
  if (line == std::string_view::npos) return 022;
  mode_t mask = 0;
  for (std::size_t i = line + 8; i < content.size() && content[i] != '\n'; ++i) {
    if (content[i] >= '0' && content[i] <= '7')
      mask = mask * 8 + static_cast<mode_t>(content[i] - '0');
  }
  return mask & permissionBits;
}

// The bits a copy of an item with `sourceMode` takes: the source's permission bits less the
// umask, as cp gives them; set-id and sticky bits are not carried over.
mode_t copyMode(mode_t sourceMode, mode_t mask) { return sourceMode & permissionBits & ~mask; }

// --- trees -------------------------------------------------------------------------------------

// Removes our own temporary `name` in `folder` with everything inside, never following a link;
// a finished folder already carries its source's bits, which may not let its owner empty it.
// Failures are ignored, as the error that made us clean up is the one to report.
void removeQuietly(int folder, const std::string& name) {
  try {
    posix::removeItemAt(folder, name, name, posix::FolderBits::ownerMayEmpty);
  } catch (const std::system_error&) {
  }
}

// Copying a folder into itself would otherwise copy the growing copy again, without end.
struct CopyRoot {
  dev_t device;
  ino_t inode;
};

void copyFolderContents(int from, int to, const CopyRoot& root, mode_t mask, CopyMeter& meter,
                        const std::string& what);

// Copies the entry `name` of the folder `from` into the folder `to` under the same name: links
// stay links, files and folders are copied with their permission bits less the umask `mask`.
// Pipes, sockets and devices are left out: they hold no data to share, a device node made anew
// by root would open the device to whoever can reach the copy, and one such entry must not cost
// an ordinary user the whole folder.
void copyEntry(int from, const char* name, int to, const CopyRoot& root, mode_t mask,
               CopyMeter& meter, const std::string& what) {
  failIfCancelled(what);
  struct stat info {};
  if (::fstatat(from, name, &info, AT_SYMLINK_NOFOLLOW) != 0) fail(errno, what);
  const mode_t mode = copyMode(info.st_mode, mask);

  if (S_ISLNK(info.st_mode)) {
    const auto target = posix::readLinkAt(from, name, static_cast<std::size_t>(info.st_size));
    if (!target) fail(errno, what);
    if (::symlinkat(target->c_str(), to, name) != 0) fail(errno, what);
    return;
  }
  if (S_ISDIR(info.st_mode)) {
    const FileDescriptor source = openOrFail(from, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, what);
    // The folder opened, not the one looked at by name: either could have been swapped in between.
    const struct stat opened = statOrFail(source.get(), what);
    if (opened.st_dev == root.device && opened.st_ino == root.inode) fail(EINVAL, what);
    if (::mkdirat(to, name, S_IRWXU) != 0) fail(errno, what);
    const FileDescriptor target = openOrFail(to, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, what);
    copyFolderContents(source.get(), target.get(), root, mask, meter, what);
    // Only now, so that a read-only source folder could be filled.
    if (::fchmod(target.get(), mode) != 0) fail(errno, what);
    return;
  }
  if (S_ISREG(info.st_mode)) {
    // O_NONBLOCK: should the file be swapped for a pipe meanwhile, opening must not hang.
    const FileDescriptor source = openOrFail(from, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, what);
    const struct stat opened = statOrFail(source.get(), what);
    if (!S_ISREG(opened.st_mode)) fail(EAGAIN, what);
    FileDescriptor target =
        openOrFail(to, name, O_WRONLY | O_CREAT | O_EXCL, what, S_IRUSR | S_IWUSR);
    copyData(source.get(), opened, target.get(), meter, what);
    if (::fchmod(target.get(), mode) != 0) fail(errno, what);
    target.closeReportingErrors(kCopy, what);
  }
}

void copyFolderContents(int from, int to, const CopyRoot& root, mode_t mask, CopyMeter& meter,
                        const std::string& what) {
  posix::DirectoryReader listing(from, kCopy, what);
  while (const dirent* entry = listing.next())
    copyEntry(from, entry->d_name, to, root, mask, meter, what);
}

// --- the temporary and its rename --------------------------------------------------------------

bool kernelRefusesNoReplace(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// ".<name>.<random>", shortened to fit a file name; the name part is cut on a UTF-8 boundary.
std::string temporaryName(const std::string& finalName) {
  static constexpr char letters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr std::size_t randomLength = 8;
  std::array<unsigned char, randomLength> random{};
  if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
    // Uniqueness comes from O_EXCL and the retries; randomness only makes collisions rare.
    const auto seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        reinterpret_cast<std::uintptr_t>(&random);
    for (std::size_t i = 0; i < random.size(); ++i) {
      random[i] = static_cast<unsigned char>(seed >> (i * 6));
    }
  }
  std::size_t keep = std::min(finalName.size(), nameMax - 2 - randomLength);
  while (keep > 0 && keep < finalName.size() &&
         (static_cast<unsigned char>(finalName[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  std::string name;
  name.reserve(keep + 2 + randomLength);
  name += '.';
  name.append(finalName, 0, keep);
  name += '.';
  for (const unsigned char byte : random) name += letters[byte % (sizeof letters - 1)];
  return name;
}

// A hidden file or folder beside the final name, removed with its contents unless it was given
// the final name.
class Temporary {
 public:
  Temporary(int folder, bool isFolder) : folder_(folder), isFolder_(isFolder) {}
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  ~Temporary() {
    if (!name_.empty()) removeQuietly(folder_, name_);
  }

  // Creates it and returns a descriptor open on it (for writing, or on the folder).
  FileDescriptor create(const std::string& finalName, const std::string& what) {
    for (int attempt = 0;; ++attempt) {
      std::string name = temporaryName(finalName);
      if (isFolder_) {
        if (::mkdirat(folder_, name.c_str(), S_IRWXU) == 0) {
          name_ = std::move(name);
          return openOrFail(folder_, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, what);
        }
      } else {
        FileDescriptor fd =
            posix::openAt(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
        if (fd.valid()) {
          name_ = std::move(name);
          return fd;
        }
      }
      if (errno != EEXIST || attempt == 100) fail(errno, what);
    }
  }

  // Gives the finished temporary its final name, never replacing what lies there.
  void rename(const std::string& finalName, const std::string& what) {
    if (::renameat2(folder_, name_.c_str(), folder_, finalName.c_str(), RENAME_NOREPLACE) == 0) {
      name_.clear();
      return;
    }
    if (!kernelRefusesNoReplace(errno)) fail(errno, what);
    if (isFolder_) {
      renameFolderOverItsClaim(finalName, what);
    } else {
      // A hard link is made only where no name exists yet.
      if (::linkat(folder_, name_.c_str(), folder_, finalName.c_str(), 0) != 0) fail(errno, what);
    }
  }

 private:
  // Folders cannot be hard-linked: an empty folder made at the final name claims it, and a folder
  // may be renamed over an empty one. The copy appears whole, as with RENAME_NOREPLACE; should the
  // rename fail, the claim goes again, unless something was put in it meanwhile.
  void renameFolderOverItsClaim(const std::string& finalName, const std::string& what) {
    if (::mkdirat(folder_, finalName.c_str(), S_IRWXU) != 0) fail(errno, what);
    if (::renameat(folder_, name_.c_str(), folder_, finalName.c_str()) != 0) {
      const int error = errno;
      ::unlinkat(folder_, finalName.c_str(), AT_REMOVEDIR);
      fail(error, what);
    }
    name_.clear();
  }

  int folder_;
  bool isFolder_;
  std::string name_;  // empty once there is nothing to remove
};

bool refusesUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// The file copied into `folder` as `name` through a file that has no name until it is complete
// (O_TMPFILE): a copy cut short, even by a kill, leaves nothing. False, with nothing done, where
// the file system makes no such files or they cannot be named here. The file is made with the
// source's permission bits, less the umask as the kernel takes it off, as cp's copies are.
bool copyFileUnnamed(int source, const struct stat& sourceInfo, int folder, const std::string& name,
                     CopyMeter& meter, const std::string& what) {
  FileDescriptor copy =
      posix::openAt(folder, ".", O_TMPFILE | O_WRONLY, sourceInfo.st_mode & permissionBits);
  if (!copy.valid()) {
    if (refusesUnnamedFiles(errno)) return false;
    fail(errno, what);
  }
  copyData(source, sourceInfo, copy.get(), meter, what);
  if (const int error = posix::linkDescriptorAt(copy.get(), folder, name.c_str()); error != 0) {
    // Neither way of naming it works here (no privilege, no /proc): the caller copies anew; a
    // pipe's data, read already, cannot be read again.
    if ((error == ENOENT || error == EPERM) && !S_ISFIFO(sourceInfo.st_mode)) {
      if (::lseek(source, 0, SEEK_SET) != 0) fail(errno, what);
      meter.restart();
      return false;
    }
    fail(error, what);
  }
  try {
    copy.closeReportingErrors(kCopy, what);
  } catch (...) {
    ::unlinkat(folder, name.c_str(), 0);  // ours: made just now, never replacing
    throw;
  }
  return true;
}

}  // namespace

void copyItem(const Url& from, const Url& to) {
  // Only file URLs name local items; a path with a NUL would be cut short, to another item.
  const std::string sourcePath = posix::requireLocalPath(from, kCopy);
  const std::string target = posix::requireLocalPath(to, kCopy);
  const std::string what = sourcePath + " to " + target;
  failIfCancelled(what);
  CopyMeter meter;

  // Following a final link: a file, a folder or a pipe, anything else refused (EINVAL).
  struct stat sourceInfo {};
  const FileDescriptor source = posix::openFileFolderOrPipe(sourcePath.c_str(), sourceInfo);
  if (!source.valid()) fail(errno, what);
  const bool isFolder = S_ISDIR(sourceInfo.st_mode);

  const auto [folderPath, name] = posix::parentAndName(target);
  if (name.empty()) fail(EEXIST, what);  // the root
  const FileDescriptor folder =
      openOrFail(AT_FDCWD, folderPath.c_str(), O_RDONLY | O_DIRECTORY, what);

  // Taken already: fail before copying anything.
  struct stat existing {};
  if (::fstatat(folder.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
    fail(EEXIST, what);
  if (errno != ENOENT) fail(errno, what);

  if (!isFolder && copyFileUnnamed(source.get(), sourceInfo, folder.get(), name, meter, what)) {
    meter.finish();
    return;
  }

  const mode_t mask = creationMask();
  const mode_t mode = copyMode(sourceInfo.st_mode, mask);

  // Folders, and files where unnamed files cannot be made: a hidden name until complete.
  Temporary temporary(folder.get(), isFolder);
  FileDescriptor copy = temporary.create(name, what);
  if (isFolder) {
    const struct stat copyInfo = statOrFail(copy.get(), what);
    copyFolderContents(source.get(), copy.get(), CopyRoot{copyInfo.st_dev, copyInfo.st_ino}, mask,
                       meter, what);
  } else {
    copyData(source.get(), sourceInfo, copy.get(), meter, what);
  }
  if (::fchmod(copy.get(), mode) != 0) fail(errno, what);
  copy.closeReportingErrors(kCopy, what);
  temporary.rename(name, what);
  meter.finish();
}

}  // namespace platform::fileManager
