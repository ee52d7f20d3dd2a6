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
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileManager.hpp"
#include "platform/detail/FileRemoval.hpp"
#include "platform/detail/Posix.hpp"

// Removal works only through descriptors of folders opened without following links: whatever a
// name turns out to be when we reach it, a link is unlinked itself and never leads out of the
// tree being removed, even when one replaces a folder while the removal runs.
//
// It costs what `rm -rf` costs: a folder holding one file takes one open, two reads of its names,
// two unlinks and one close. The kind of each entry comes from its listing, and a mount point is
// refused by the open itself.
namespace platform::posix {
namespace {

enum class Kind { folder, other, unknown };

struct Child {
  std::string name;
  Kind kind;
};

// One removal under way: its choice of FolderBits, and its first failure, collected so that it
// goes on with what it can still remove.
class Removal {
 public:
  explicit Removal(FolderBits bits) : bits_(bits) {}
  FolderBits bits() const { return bits_; }
  void note(int error) {
    // An item that vanished meanwhile is as good as removed.
    if (error != ENOENT && first_ == 0) first_ = error;
  }
  int first() const { return first_; }

 private:
  FolderBits bits_;
  int first_ = 0;
};

Kind kindOfType(unsigned char type) {
  if (type == DT_DIR) return Kind::folder;
  if (type == DT_UNKNOWN) return Kind::unknown;
  return Kind::other;
}

Kind kindAt(int parentFd, const std::string& name, Removal& removal) {
  struct stat status {};
  if (::fstatat(parentFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    removal.note(errno);
    return Kind::unknown;
  }
  return S_ISDIR(status.st_mode) ? Kind::folder : Kind::other;
}

// Opens the folder `name` in `parentFd` for listing, never through a link (ENOTDIR or ELOOP for
// anything not a folder) and never into another mount (EXDEV): what is mounted there lies outside
// the tree being removed, and its removal then fails with EBUSY, as the system reports it.
FileDescriptor openFolder(int parentFd, const std::string& name, FolderBits bits) {
  const auto open = [&] {
    return openBeneath(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0,
                       Mounts::refused);
  };
  FileDescriptor folder = open();
  if (bits == FolderBits::asTheyAre) return folder;
  // Bits that do not even let its owner list it: changed by name, still never through a link.
  if (!folder.valid() && errno == EACCES &&
      ::fchmodat(parentFd, name.c_str(), S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0) {
    folder = open();
  }
  // Through the descriptor, so that a link put in the folder's place meanwhile is never followed.
  if (folder.valid() && ::fchmod(folder.get(), S_IRWXU) != 0) return FileDescriptor();
  return folder;
}

// The names in the opened folder, read whole before anything is removed, so that only one
// descriptor per level stays open while the removal descends. Read straight from the descriptor:
// a directory stream would cost a duplicate and its bookkeeping for every folder.
std::vector<Child> childrenOf(int folderFd, Removal& removal) {
  static constexpr std::size_t bufferBytes = std::size_t{32} * 1024;
  std::vector<Child> children;
  const auto buffer = std::make_unique_for_overwrite<char[]>(bufferBytes);
  for (;;) {
    const ssize_t length = ::getdents64(folderFd, buffer.get(), bufferBytes);
    if (length < 0) {
      if (errno == EINTR) continue;
      removal.note(errno);
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
void removeNonFolder(int parentFd, const std::string& name, Removal& removal) {
  if (::unlinkat(parentFd, name.c_str(), 0) != 0) removal.note(errno);
}

void removeChild(int parentFd, const std::string& name, Kind kind, Removal& removal);

// Removes the folder `name` in `parentFd` with everything inside, given what opening it gave:
// `folder`, or `openError` when that is invalid.
void removeFolder(int parentFd, const std::string& name, FileDescriptor folder, int openError,
                  Removal& removal) {
  if (!folder.valid()) {
    // No longer a folder: a link or file took its place, and is removed as such.
    if (openError == ENOTDIR || openError == ELOOP) return removeNonFolder(parentFd, name, removal);
    // A mount point, or a folder we cannot read that may still be empty: the system says whether
    // it can go (EBUSY for a mount point).
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
      removal.note(openError == EXDEV ? errno : openError);
    }
    return;
  }
  for (const Child& child : childrenOf(folder.get(), removal)) {
    removeChild(folder.get(), child.name, child.kind, removal);
  }
  folder = FileDescriptor();
  if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
    const int error = errno;
    // Something not a folder replaced it after it was emptied.
    if (error == ENOTDIR) return removeNonFolder(parentFd, name, removal);
    removal.note(error);
  }
}

void removeFolder(int parentFd, const std::string& name, Removal& removal) {
  FileDescriptor folder = openFolder(parentFd, name, removal.bits());
  const int openError = folder.valid() ? 0 : errno;
  removeFolder(parentFd, name, std::move(folder), openError, removal);
}

void removeChild(int parentFd, const std::string& name, Kind kind, Removal& removal) {
  if (kind == Kind::unknown) kind = kindAt(parentFd, name, removal);
  if (kind == Kind::unknown) return;
  if (kind == Kind::folder) return removeFolder(parentFd, name, removal);
  if (::unlinkat(parentFd, name.c_str(), 0) == 0) return;
  const int error = errno;
  // A folder took its place.
  if (error == EISDIR) return removeFolder(parentFd, name, removal);
  removal.note(error);
}

}  // namespace

void removeItemAt(int folder, const std::string& name, std::string_view path, FolderBits bits) {
  // Opened as a folder first: anything else says so (ENOTDIR, ELOOP), which saves looking at the
  // item before removing it.
  Removal removal(bits);
  FileDescriptor opened = openFolder(folder, name, bits);
  const int openError = opened.valid() ? 0 : errno;
  if (openError == ENOENT) throwSystemError(ENOENT, "remove", path);
  if (openError == ENOTDIR || openError == ELOOP) {
    removeChild(folder, name, Kind::other, removal);
  } else {
    removeFolder(folder, name, std::move(opened), openError, removal);
  }
  if (removal.first() != 0) throwSystemError(removal.first(), "remove", path);
}

}  // namespace platform::posix

namespace platform::fileManager {

void removeItem(const Url& url) {
  const std::string path = posix::requireLocalPath(url, "remove");
  const auto [parentPath, name] = posix::parentAndName(path);
  // The root, "." and ".." name no item that can go.
  if (name.empty() || name == "." || name == "..") posix::throwSystemError(EINVAL, "remove", path);
  const posix::FileDescriptor parent =
      posix::openAt(AT_FDCWD, parentPath.c_str(), O_PATH | O_DIRECTORY);
  if (!parent.valid()) posix::throwSystemError(errno, "open", parentPath);
  posix::removeItemAt(parent.get(), name, path);
}

}  // namespace platform::fileManager
