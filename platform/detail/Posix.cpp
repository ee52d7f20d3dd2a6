#include "platform/detail/Posix.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/Url.hpp"

namespace platform::posix {
namespace {

constexpr std::size_t kFirstLinkBufferBytes = 256;

}  // namespace

void throwSystemError(int error, std::string_view operation, std::string_view path) {
  std::string message(operation);
  if (!path.empty()) {
    message += ": ";
    message += path;
  }
  throw std::system_error(error, std::generic_category(), message);
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::release() noexcept { return std::exchange(fd_, -1); }

void FileDescriptor::closeReportingErrors(std::string_view operation, std::string_view path) {
  const int fd = std::exchange(fd_, -1);
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) throwSystemError(errno, operation, path);
}

ParentAndName parentAndName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(path)};
  return {std::string(slash == 0 ? path.substr(0, 1) : path.substr(0, slash)),
          std::string(path.substr(slash + 1))};
}

FileDescriptor openAt(int folder, const char* path, int flags, mode_t mode) noexcept {
  for (;;) {
    const int fd = ::openat(folder, path, flags | O_CLOEXEC | O_NOCTTY, mode);
    if (fd >= 0 || errno != EINTR) return FileDescriptor(fd);
  }
}

namespace {

// Whether `fd` is the root of a mount: what lies there is another file system.
bool isMountRoot(int fd) noexcept {
  struct statx status {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &status) != 0) return false;
  return (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

FileDescriptor failWith(int error) noexcept {
  errno = error;
  return FileDescriptor();
}

// The path's components less empty and "." ones; a path of "." alone is the folder itself.
std::vector<std::string_view> downwardComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t slash = std::min(path.find('/'), path.size());
    const std::string_view part = path.substr(0, slash);
    path.remove_prefix(std::min(slash + 1, path.size()));
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  if (parts.empty()) parts.emplace_back(".");
  return parts;
}

// openBeneath() for kernels without openat2: one openat() per component, none following a link.
FileDescriptor walkBeneath(int folder, std::string_view path, int flags, mode_t mode,
                           Mounts mounts) {
  const auto parts = downwardComponents(path);
  // A trailing slash asks for a folder, as it does of openat2.
  if (path.ends_with('/')) flags |= O_DIRECTORY;
  FileDescriptor here;
  int at = folder;
  std::string name;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    // Whether a final link answers as O_NOFOLLOW makes it: the caller's choice, for the last.
    const bool callerNoFollow = last && (flags & O_NOFOLLOW) != 0;
    name.assign(parts[i]);
    FileDescriptor next = last ? openAt(at, name.c_str(), flags | O_NOFOLLOW, mode)
                               : openAt(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW);
    const int error = next.valid() ? 0 : errno;
    if (!callerNoFollow) {
      // O_NOFOLLOW reports a link as ENOTDIR with O_DIRECTORY, and O_PATH opens it: ELOOP both.
      struct stat info {};
      if (error == ENOTDIR && ::fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(info.st_mode)) {
        return failWith(ELOOP);
      }
      if (last && next.valid() && (flags & O_PATH) != 0 && ::fstat(next.get(), &info) == 0 &&
          S_ISLNK(info.st_mode)) {
        return failWith(ELOOP);
      }
    }
    if (!next.valid()) return failWith(error);
    if (mounts == Mounts::refused && name != "." && isMountRoot(next.get())) return failWith(EXDEV);
    here = std::move(next);
    at = here.get();
  }
  return here;
}

std::atomic<bool> kernelLacksOpenat2{false};

}  // namespace

FileDescriptor openBeneath(int folder, const char* path, int flags, mode_t mode, Mounts mounts) {
  // RESOLVE_BENEATH would let a ".." that stays beneath pass; callers name paths downward only.
  const std::string_view text(path);
  if (text.empty()) return failWith(ENOENT);
  if (text.starts_with('/') || text == ".." || text.starts_with("../") || text.ends_with("/..") ||
      text.find("/../") != std::string_view::npos) {
    return failWith(EXDEV);
  }
  if (!kernelLacksOpenat2.load(std::memory_order_relaxed)) {
    open_how how{};
    // openat2 refuses with O_PATH any flag that O_PATH ignores.
    const int terminal = (flags & O_PATH) != 0 ? 0 : O_NOCTTY;
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC | terminal);
    // openat2 refuses a mode where nothing is created.
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) how.mode = mode;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    if (mounts == Mounts::refused) how.resolve |= RESOLVE_NO_XDEV;
    for (;;) {
      const long fd = ::syscall(SYS_openat2, folder, path, &how, sizeof how);
      if (fd >= 0) return FileDescriptor(static_cast<int>(fd));
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == ENOSYS) kernelLacksOpenat2.store(true, std::memory_order_relaxed);
      if (errno != ENOSYS && errno != EPERM) return FileDescriptor();
      break;
    }
  }
  return walkBeneath(folder, text, flags, mode, mounts);
}

std::optional<std::string> localPath(const Url& url) {
  if (!url.isFileURL()) return std::nullopt;
  std::string path = url.path();
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  return path;
}

std::string requireLocalPath(const Url& url, std::string_view operation) {
  auto path = localPath(url);
  if (!path) throwSystemError(EINVAL, operation, url.absoluteString());
  return std::move(*path);
}

namespace {

enum class Pipes { refused, opened };

FileDescriptor openForReading(const char* path, struct stat& info, Pipes pipes) noexcept {
  // O_NONBLOCK: opening a pipe must not wait for its writer.
  FileDescriptor opened = openAt(AT_FDCWD, path, O_RDONLY | O_NONBLOCK);
  const auto refuse = [&opened](int error) {
    opened = FileDescriptor();  // closed first, so that errno is the one given
    errno = error;
    return FileDescriptor();
  };
  if (!opened.valid()) {
    const int error = errno;
    // A socket cannot be opened at all (ENXIO): it is refused like the rest.
    const bool socket = error == ENXIO && ::stat(path, &info) == 0 && S_ISSOCK(info.st_mode);
    return refuse(socket ? EINVAL : error);
  }
  if (::fstat(opened.get(), &info) != 0) return refuse(errno);
  if (S_ISDIR(info.st_mode)) return opened;
  if (S_ISFIFO(info.st_mode) && pipes == Pipes::opened) return opened;
  if (!S_ISREG(info.st_mode)) return refuse(EINVAL);
  // A file is read as any other, waiting for its data. O_NONBLOCK is the only flag that
  // F_SETFL changes which it was opened with: clearing them all clears just that one.
  if (::fcntl(opened.get(), F_SETFL, 0) != 0) return refuse(errno);
  return opened;
}

}  // namespace

FileDescriptor openFileOrFolder(const char* path, struct stat& info) noexcept {
  return openForReading(path, info, Pipes::refused);
}

FileDescriptor openFileFolderOrPipe(const char* path, struct stat& info) noexcept {
  return openForReading(path, info, Pipes::opened);
}

int writeAll(int fd, const void* data, std::size_t size) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

ssize_t readAll(int fd, void* data, std::size_t size) noexcept {
  auto* bytes = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, bytes + done, size - done);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

int linkDescriptorAt(int fd, int folder, const char* name) noexcept {
  if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOENT && errno != EPERM) return errno;
  std::array<char, 32> self{};
  std::snprintf(self.data(), self.size(), "/proc/self/fd/%d", fd);
  if (::linkat(AT_FDCWD, self.data(), folder, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  return errno;
}

DirectoryReader::DirectoryReader(int folder, std::string_view operation, std::string_view path)
    : operation_(operation), path_(path) {
  FileDescriptor own(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
  if (!own.valid()) throwSystemError(errno, operation_, path_);
  stream_ = ::fdopendir(own.get());
  if (stream_ == nullptr) throwSystemError(errno, operation_, path_);
  own.release();  // the stream closes it now
  // A duplicate shares the offset of `folder`, which may have been read from before.
  ::rewinddir(stream_);
}

DirectoryReader::~DirectoryReader() { ::closedir(stream_); }

const dirent* DirectoryReader::next() {
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream_);  // NOLINT(concurrency-mt-unsafe): own stream
    if (entry == nullptr) {
      if (errno != 0) throwSystemError(errno, operation_, path_);
      return nullptr;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") return entry;
  }
}

std::optional<std::string> readLinkAt(int folder, const char* path, std::size_t sizeHint) {
  std::string target(std::max(sizeHint + 1, kFirstLinkBufferBytes), '\0');
  for (;;) {
    const ssize_t length = ::readlinkat(folder, path, target.data(), target.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    target.resize(target.size() * 2);  // cut short: the link is longer than the buffer
  }
}

std::string makeTemporaryFolder(std::string_view namePrefix) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/";
  pattern.append(namePrefix).append("XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr)
    throwSystemError(errno, "create temporary folder", pattern);
  return pattern;
}

}  // namespace platform::posix
