#include <cerrno>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileManager.hpp"
#include "platform/detail/Posix.hpp"

// Removal works only through descriptors of folders opened without following links: whatever a
// name turns out to be when we reach it, a link is unlinked itself and never leads out of the
// tree being removed, even when one replaces a folder while the removal runs.
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

// The names in the opened folder, read whole before anything is removed, so that only one
// descriptor per level stays open while the removal descends.
std::vector<Child> childrenOf(int folderFd, Failures& failures) {
  std::vector<Child> children;
  try {
    posix::DirectoryReader listing(folderFd, "remove");
    while (const dirent* found = listing.next()) {
      children.push_back({found->d_name, kindOfType(found->d_type)});
    }
  } catch (const std::system_error& failure) {
    failures.note(failure.code().value());
  }
  return children;
}

// Unlinks what is not a folder; a folder that takes its place meanwhile is a failure (EISDIR).
void removeNonFolder(int parentFd, const std::string& name, Failures& failures) {
  if (::unlinkat(parentFd, name.c_str(), 0) != 0) failures.note(errno);
}

void removeChild(int parentFd, const std::string& name, Kind kind, Failures& failures);

void removeFolder(int parentFd, const std::string& name, Failures& failures) {
  {
    const FileDescriptor folder =
        posix::openAt(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!folder.valid()) {
      const int error = errno;
      // No longer a folder: a link or file took its place, and is removed as such.
      if (error == ENOTDIR || error == ELOOP) return removeNonFolder(parentFd, name, failures);
      // A folder we cannot read may still be empty.
      if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) failures.note(error);
      return;
    }
    if (!isMountRoot(folder.get())) {
      for (const Child& child : childrenOf(folder.get(), failures)) {
        removeChild(folder.get(), child.name, child.kind, failures);
      }
    }
  }
  if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
    const int error = errno;
    // Something not a folder replaced it after it was emptied.
    if (error == ENOTDIR) return removeNonFolder(parentFd, name, failures);
    failures.note(error);
  }
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

  struct stat status {};
  if (::fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    posix::throwSystemError(errno, "remove", path);
  }
  Failures failures;
  removeChild(parent.get(), name, S_ISDIR(status.st_mode) ? Kind::folder : Kind::other, failures);
  if (failures.first() != 0) posix::throwSystemError(failures.first(), "remove", path);
}

}  // namespace platform::fileManager
