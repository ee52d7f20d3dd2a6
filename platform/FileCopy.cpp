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
#include <system_error>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileManager.hpp"

namespace platform::fileManager {
namespace {

constexpr mode_t permissionBits = 0777;  // set-id and sticky bits are not carried over
constexpr std::size_t readBufferBytes = std::size_t{128} * 1024;
constexpr std::size_t kernelCopyChunk = std::size_t{1} << 30;
constexpr std::size_t nameMax = 255;

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor& operator=(Descriptor&&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }

  int get() const { return fd_; }

  // Some file systems (NFS among them) report a failed write only when the file is closed.
  void closeReportingErrors(const std::string& what) {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) fail(errno, what);
  }

 private:
  int fd_;
};

Descriptor openOrFail(int folder, const char* name, int flags, const std::string& what,
                      mode_t mode = 0) {
  for (;;) {
    const int fd = ::openat(folder, name, flags | O_CLOEXEC | O_NOCTTY, mode);
    if (fd >= 0) return Descriptor(fd);
    if (errno != EINTR) fail(errno, what);
  }
}

struct stat statOrFail(int fd, const std::string& what) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) fail(errno, what);
  return info;
}

// A directory stream over its own duplicate of `folder`; readdir is safe here because every
// stream is used by one thread only.
class FolderListing {
 public:
  FolderListing(int folder, const std::string& what) {
    const int fd = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) fail(errno, what);
    stream_ = ::fdopendir(fd);
    if (stream_ == nullptr) {
      const int error = errno;
      ::close(fd);
      fail(error, what);
    }
    ::rewinddir(stream_);
  }
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;
  ~FolderListing() { ::closedir(stream_); }

  // The next entry's name other than "." and "..", or nullptr at the end.
  const char* next(const std::string& what) {
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(stream_);  // NOLINT(concurrency-mt-unsafe)
      if (entry == nullptr) {
        if (errno != 0) fail(errno, what);
        return nullptr;
      }
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") return entry->d_name;
    }
  }

 private:
  DIR* stream_ = nullptr;
};

// --- data --------------------------------------------------------------------------------------

bool kernelRefusesCopy(int error) {
  return error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS ||
         error == EBADF || error == EPERM;
}

void writeAll(int to, const char* data, std::size_t size, const std::string& what) {
  while (size > 0) {
    const ssize_t written = ::write(to, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno, what);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

// copy_file_range to the end. False, with nothing copied, when the kernel cannot copy between
// these two files, or when it reports an empty source at once: files of /proc and the like
// report size 0, so reading must confirm the end.
bool copyInKernel(int from, int to, const std::string& what) {
  bool copiedAny = false;
  for (;;) {
    const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, kernelCopyChunk, 0);
    if (copied > 0) {
      copiedAny = true;
    } else if (copied == 0) {
      return copiedAny;
    } else if (errno != EINTR) {
      if (!copiedAny && kernelRefusesCopy(errno)) return false;
      fail(errno, what);
    }
  }
}

void copyByReading(int from, int to, const std::string& what) {
  const auto buffer = std::make_unique_for_overwrite<char[]>(readBufferBytes);
  for (;;) {
    const ssize_t got = ::read(from, buffer.get(), readBufferBytes);
    if (got == 0) return;
    if (got < 0) {
      if (errno == EINTR) continue;
      fail(errno, what);
    }
    writeAll(to, buffer.get(), static_cast<std::size_t>(got), what);
  }
}

// Copies the data of `from` (from its current offset) into the empty file `to`: a shared-extent
// clone where the file system has one, else in the kernel, else through one fixed buffer.
void copyData(int from, int to, const std::string& what) {
  if (::ioctl(to, FICLONE, from) == 0) return;
  // A refused clone may still have touched the target. Only truncate then: on ext4, truncating
  // to zero makes close() flush the whole file, as for a file rewritten in place.
  if (statOrFail(to, what).st_size != 0 && ::ftruncate(to, 0) != 0) fail(errno, what);
  if (copyInKernel(from, to, what)) return;
  copyByReading(from, to, what);
}

// --- trees -------------------------------------------------------------------------------------

// Removes what `name` in `folder` holds, a folder with everything inside it, never following a
// link. Only ever used on our own temporaries; failures are ignored, as the error that made us
// clean up is the one to report.
void removeQuietly(int folder, const char* name) {
  struct stat info {};
  if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(info.st_mode)) {
    ::unlinkat(folder, name, 0);
    return;
  }
  // A finished subfolder already carries its source's bits, which may not let us empty it.
  ::fchmodat(folder, name, S_IRWXU, 0);
  const int fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    const Descriptor inner(fd);
    std::vector<std::string> names;
    try {
      FolderListing listing(inner.get(), name);
      while (const char* entry = listing.next(name)) names.emplace_back(entry);
    } catch (const std::system_error&) {
    }
    for (const auto& entry : names) removeQuietly(inner.get(), entry.c_str());
  }
  ::unlinkat(folder, name, AT_REMOVEDIR);
}

// Copying a folder into itself would otherwise copy the growing copy again, without end.
struct CopyRoot {
  dev_t device;
  ino_t inode;
};

void copyFolderContents(int from, int to, const CopyRoot& root, const std::string& what);

// Copies the entry `name` of the folder `from` into the folder `to` under the same name: links
// stay links, special files are made anew, files and folders are copied with their permission
// bits.
void copyEntry(int from, const char* name, int to, const CopyRoot& root, const std::string& what) {
  struct stat info {};
  if (::fstatat(from, name, &info, AT_SYMLINK_NOFOLLOW) != 0) fail(errno, what);
  const mode_t mode = info.st_mode & permissionBits;

  if (S_ISLNK(info.st_mode)) {
    std::vector<char> target(static_cast<std::size_t>(info.st_size) + 1);
    for (;;) {
      const ssize_t length = ::readlinkat(from, name, target.data(), target.size());
      if (length < 0) fail(errno, what);
      if (static_cast<std::size_t>(length) < target.size()) {
        target[static_cast<std::size_t>(length)] = '\0';
        break;
      }
      target.resize(target.size() * 2);  // the link changed since it was looked at
    }
    if (::symlinkat(target.data(), to, name) != 0) fail(errno, what);
    return;
  }
  if (S_ISDIR(info.st_mode)) {
    if (info.st_dev == root.device && info.st_ino == root.inode) fail(EINVAL, what);
    const Descriptor source = openOrFail(from, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, what);
    if (::mkdirat(to, name, S_IRWXU) != 0) fail(errno, what);
    const Descriptor target = openOrFail(to, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, what);
    copyFolderContents(source.get(), target.get(), root, what);
    // Only now, so that a read-only source folder could be filled.
    if (::fchmod(target.get(), mode) != 0) fail(errno, what);
    return;
  }
  if (S_ISREG(info.st_mode)) {
    // O_NONBLOCK: should the file be swapped for a pipe meanwhile, opening must not hang.
    const Descriptor source = openOrFail(from, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, what);
    if (!S_ISREG(statOrFail(source.get(), what).st_mode)) fail(EAGAIN, what);
    Descriptor target = openOrFail(to, name, O_WRONLY | O_CREAT | O_EXCL, what, S_IRUSR | S_IWUSR);
    copyData(source.get(), target.get(), what);
    if (::fchmod(target.get(), mode) != 0) fail(errno, what);
    target.closeReportingErrors(what);
    return;
  }
  if (::mknodat(to, name, (info.st_mode & S_IFMT) | mode, info.st_rdev) != 0) fail(errno, what);
  if (::fchmodat(to, name, mode, 0) != 0) fail(errno, what);  // mknod obeys the umask
}

void copyFolderContents(int from, int to, const CopyRoot& root, const std::string& what) {
  FolderListing listing(from, what);
  while (const char* name = listing.next(what)) copyEntry(from, name, to, root, what);
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
    if (!name_.empty()) removeQuietly(folder_, name_.c_str());
  }

  // Creates it and returns a descriptor open on it (for writing, or on the folder).
  Descriptor create(const std::string& finalName, const std::string& what) {
    for (int attempt = 0;; ++attempt) {
      std::string name = temporaryName(finalName);
      if (isFolder_) {
        if (::mkdirat(folder_, name.c_str(), S_IRWXU) == 0) {
          name_ = std::move(name);
          return openOrFail(folder_, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, what);
        }
      } else {
        const int fd =
            ::openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                     S_IRUSR | S_IWUSR);
        if (fd >= 0) {
          name_ = std::move(name);
          return Descriptor(fd);
        }
      }
      if (errno != EEXIST || attempt == 100) fail(errno, what);
    }
  }

  // Gives the finished temporary its final name, never replacing what lies there.
  void rename(const std::string& finalName, mode_t folderMode, const std::string& what) {
    if (::renameat2(folder_, name_.c_str(), folder_, finalName.c_str(), RENAME_NOREPLACE) == 0) {
      name_.clear();
      return;
    }
    if (!kernelRefusesNoReplace(errno)) fail(errno, what);
    if (isFolder_) {
      renameFolderByFilling(finalName, folderMode, what);
    } else {
      // A hard link is made only where no name exists yet.
      if (::linkat(folder_, name_.c_str(), folder_, finalName.c_str(), 0) != 0) fail(errno, what);
    }
  }

 private:
  // Folders cannot be hard-linked: claim the final name with a new folder, then move the entries
  // into it. The folder is visible before it is full, on these file systems only.
  void renameFolderByFilling(const std::string& finalName, mode_t mode, const std::string& what) {
    // Its final bits may forbid taking entries out of it.
    if (::fchmodat(folder_, name_.c_str(), S_IRWXU, 0) != 0) fail(errno, what);
    if (::mkdirat(folder_, finalName.c_str(), S_IRWXU) != 0) fail(errno, what);
    try {
      const Descriptor from =
          openOrFail(folder_, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, what);
      const Descriptor to =
          openOrFail(folder_, finalName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, what);
      std::vector<std::string> names;
      {
        FolderListing listing(from.get(), what);
        while (const char* name = listing.next(what)) names.emplace_back(name);
      }
      for (const auto& name : names) {
        if (::renameat(from.get(), name.c_str(), to.get(), name.c_str()) != 0) fail(errno, what);
      }
      if (::fchmod(to.get(), mode) != 0) fail(errno, what);
    } catch (...) {
      removeQuietly(folder_, finalName.c_str());
      throw;
    }
  }

  int folder_;
  bool isFolder_;
  std::string name_;  // empty once there is nothing to remove
};

// The source, following a final link. O_NONBLOCK: a pipe must not hang the opening.
Descriptor openSource(const std::string& path, const std::string& what) {
  Descriptor source = openOrFail(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK, what);
  if (!S_ISDIR(statOrFail(source.get(), what).st_mode)) {
    // From here on a pipe or device is read as a stream, waiting for its data.
    const int flags = ::fcntl(source.get(), F_GETFL);
    if (flags < 0 || ::fcntl(source.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) fail(errno, what);
  }
  return source;
}

}  // namespace

void copyItem(const Url& from, const Url& to) {
  const std::string target = to.path();
  const std::string what = "cannot copy " + from.path() + " to " + target;

  // A C string would cut such a path short, to another item.
  if (from.path().find('\0') != std::string::npos || target.find('\0') != std::string::npos) {
    fail(EINVAL, what);
  }
  const Descriptor source = openSource(from.path(), what);
  const struct stat sourceInfo = statOrFail(source.get(), what);
  const bool isFolder = S_ISDIR(sourceInfo.st_mode);
  const mode_t mode = sourceInfo.st_mode & permissionBits;

  const std::size_t slash = target.find_last_of('/');
  const std::string folderPath = slash == 0 ? "/" : target.substr(0, slash);
  const std::string name = target.substr(slash + 1);
  if (name.empty()) fail(EEXIST, what);  // the root
  const Descriptor folder = openOrFail(AT_FDCWD, folderPath.c_str(), O_RDONLY | O_DIRECTORY, what);

  // Taken already: fail before copying anything.
  struct stat existing {};
  if (::fstatat(folder.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
    fail(EEXIST, what);
  if (errno != ENOENT) fail(errno, what);

  Temporary temporary(folder.get(), isFolder);
  Descriptor copy = temporary.create(name, what);
  if (isFolder) {
    const struct stat copyInfo = statOrFail(copy.get(), what);
    copyFolderContents(source.get(), copy.get(), CopyRoot{copyInfo.st_dev, copyInfo.st_ino}, what);
  } else {
    copyData(source.get(), copy.get(), what);
  }
  if (::fchmod(copy.get(), mode) != 0) fail(errno, what);
  copy.closeReportingErrors(what);
  temporary.rename(name, mode, what);
}

}  // namespace platform::fileManager
