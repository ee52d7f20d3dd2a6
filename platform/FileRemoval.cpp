#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/FileManager.hpp"
#include "platform/detail/Posix.hpp"

// Removal works only through descriptors of folders opened without following links: whatever a
// name turns out to be when we reach it, a link is unlinked itself and never leads out of the
// tree being removed, even when one replaces a folder while the removal runs.
//
// It costs what `rm -rf` costs: a folder holding one file takes one open, two reads of its names,
// two unlinks and one close. The kind of each entry comes from its listing, and a mount point is
// refused by the open itself.
namespace platform::fileManager {
namespace {

using posix::FileDescriptor;

enum class Kind { folder, other, unknown };

struct Child {
  std::string name;
  Kind kind;
};

// Collects the first failure and lets the removal go on with what it can still remove.
class Failures {
 public:
  void note(int error) {
    // An item that vanished meanwhile is as good as removed.
    if (error != ENOENT && first_ == 0) first_ = error;
  }
  int first() const { return first_; }

 private:
  int first_ = 0;
};

Kind kindOfType(unsigned char type) {
  if (type == DT_DIR) return Kind::folder;
  if (type == DT_UNKNOWN) return Kind::unknown;
  return Kind::other;
}

Kind kindAt(int parentFd, const std::string& name, Failures& failures) {
  struct stat status {};
  if (::fstatat(parentFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    failures.note(errno);
    return Kind::unknown;
  }
  return S_ISDIR(status.st_mode) ? Kind::folder : Kind::other;
}

// A mount point is not entered: what is mounted there lies outside the tree being removed. Its
// removal then fails with EBUSY, as the system reports it.
bool isMountRoot(int fd) {
  struct statx status {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &status) != 0) return false;
  return (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Opens the folder `name` in `parentFd` for listing, never through a link (ENOTDIR or ELOOP for
// anything not a folder) and never into another mount (EXDEV). Kernels without openat2 check the
// mount after opening.
FileDescriptor openFolder(int parentFd, const std::string& name) {
  static constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  open_how how{};
  how.flags = flags;
  how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS;
  for (;;) {
    const auto fd = ::syscall(SYS_openat2, parentFd, name.c_str(), &how, sizeof how);
    if (fd >= 0) return FileDescriptor(static_cast<int>(fd));
    if (errno == EINTR) continue;
    if (errno != ENOSYS) return FileDescriptor();
    break;
  }
  FileDescriptor folder = posix::openAt(parentFd, name.c_str(), flags);
  if (folder.valid() && isMountRoot(folder.get())) {
    errno = EXDEV;
    return FileDescriptor();
  }
  return folder;
}

// The names in the opened folder, read whole before anything is removed, so that only one
// descriptor per level stays open while the removal descends. Read straight from the descriptor:
// a directory stream would cost a duplicate and its bookkeeping for every folder.
std::vector<Child> childrenOf(int folderFd, Failures& failures) {
  static constexpr std::size_t bufferBytes = std::size_t{32} * 1024;
  std::vector<Child> children;
  const auto buffer = std::make_unique_for_overwrite<char[]>(bufferBytes);
  for (;;) {
    const ssize_t length = ::getdents64(folderFd, buffer.get(), bufferBytes);
    if (length < 0) {
      if (errno == EINTR) continue;
      failures.note(errno);
      return children;
    }
    if (length == 0) return children;
    for (ssize_t offset = 0; offset < length;) {
      const char* record = buffer.get() + offset;
      dirent64 entry{};
      // The records are packed by their lengths: the fixed part is copied, not aliased.
      std::memcpy(&entry, record, offsetof(dirent64, d_name));
      const char* name = record + offsetof(dirent64, d_name);
      offset += entry.d_reclen;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      children.push_back({name, kindOfType(entry.d_type)});
    }
  }
}

// Unlinks what is not a folder; a folder that takes its place meanwhile is a failure (EISDIR).
void removeNonFolder(int parentFd, const std::string& name, Failures& failures) {
  if (::unlinkat(parentFd, name.c_str(), 0) != 0) failures.note(errno);
}

void removeChild(int parentFd, const std::string& name, Kind kind, Failures& failures);

// Removes the folder `name` in `parentFd` with everything inside, given what opening it gave:
// `folder`, or `openError` when that is invalid.
void removeFolder(int parentFd, const std::string& name, FileDescriptor folder, int openError,
                  Failures& failures) {
  if (!folder.valid()) {
    // No longer a folder: a link or file took its place, and is removed as such.
    if (openError == ENOTDIR || openError == ELOOP)
      return removeNonFolder(parentFd, name, failures);
    // A mount point, or a folder we cannot read that may still be empty: the system says whether
    // it can go (EBUSY for a mount point).
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
      failures.note(openError == EXDEV ? errno : openError);
    }
    return;
  }
  for (const Child& child : childrenOf(folder.get(), failures)) {
    removeChild(folder.get(), child.name, child.kind, failures);
  }
  folder = FileDescriptor();
  if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
    const int error = errno;
    // Something not a folder replaced it after it was emptied.
    if (error == ENOTDIR) return removeNonFolder(parentFd, name, failures);
    failures.note(error);
  }
}

void removeFolder(int parentFd, const std::string& name, Failures& failures) {
  FileDescriptor folder = openFolder(parentFd, name);
  const int openError = folder.valid() ? 0 : errno;
  removeFolder(parentFd, name, std::move(folder), openError, failures);
}

void removeChild(int parentFd, const std::string& name, Kind kind, Failures& failures) {
  if (kind == Kind::unknown) kind = kindAt(parentFd, name, failures);
  if (kind == Kind::unknown) return;
  if (kind == Kind::folder) return removeFolder(parentFd, name, failures);
  if (::unlinkat(parentFd, name.c_str(), 0) == 0) return;
  const int error = errno;
  // A folder took its place.
  if (error == EISDIR) return removeFolder(parentFd, name, failures);
  failures.note(error);
}

std::pair<std::string, std::string> parentAndName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

void removeItem(const Url& url) {
  const std::string path = posix::requireLocalPath(url, "remove");
  const auto [parentPath, name] = parentAndName(path);
  // The root, "." and ".." name no item that can go.
  if (name.empty() || name == "." || name == "..") posix::throwSystemError(EINVAL, "remove", path);
  const FileDescriptor parent = posix::openAt(AT_FDCWD, parentPath.c_str(), O_PATH | O_DIRECTORY);
  if (!parent.valid()) posix::throwSystemError(errno, "open", parentPath);

  // Opened as a folder first: anything else says so (ENOTDIR, ELOOP), which saves looking at the
  // item before removing it.
  Failures failures;
  FileDescriptor folder = openFolder(parent.get(), name);
  const int openError = folder.valid() ? 0 : errno;
  if (openError == ENOENT) posix::throwSystemError(ENOENT, "remove", path);
  if (openError == ENOTDIR || openError == ELOOP) {
    removeChild(parent.get(), name, Kind::other, failures);
  } else {
    removeFolder(parent.get(), name, std::move(folder), openError, failures);
  }
  if (failures.first() != 0) posix::throwSystemError(failures.first(), "remove", path);
}

}  // namespace platform::fileManager
