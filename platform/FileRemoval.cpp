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

// Removal works only through descriptors of folders opened without following links: whatever a
// name turns out to be when we reach it, a link is unlinked itself and never leads out of the
// tree being removed, even when one replaces a folder while the removal runs.
namespace platform::fileManager {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

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
  const int listingFd = ::dup(folderFd);
  if (listingFd < 0) {
    failures.note(errno);
    return children;
  }
  DIR* directory = ::fdopendir(listingFd);
  if (directory == nullptr) {
    failures.note(errno);
    ::close(listingFd);
    return children;
  }
  for (;;) {
    errno = 0;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads this stream
    const struct dirent* found = ::readdir(directory);
    if (found == nullptr) {
      if (errno != 0) failures.note(errno);
      break;
    }
    const std::string name = found->d_name;
    if (name == "." || name == "..") continue;
    children.push_back({name, kindOfType(found->d_type)});
  }
  ::closedir(directory);
  return children;
}

// Unlinks what is not a folder; a folder that takes its place meanwhile is a failure (EISDIR).
void removeNonFolder(int parentFd, const std::string& name, Failures& failures) {
  if (::unlinkat(parentFd, name.c_str(), 0) != 0) failures.note(errno);
}

void removeChild(int parentFd, const std::string& name, Kind kind, Failures& failures);

void removeFolder(int parentFd, const std::string& name, Failures& failures) {
  {
    const Descriptor folder(
        ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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
  if (!url.isFileURL()) throw std::system_error(EINVAL, std::generic_category(), "removeItem");
  const std::string path = url.path();
  const auto [parentPath, name] = parentAndName(path);
  // The root, "." and ".." name no item that can go; a C string would cut a path with a NUL short
  // and name another item.
  if (name.empty() || name == "." || name == ".." || path.find('\0') != std::string::npos) {
    throw std::system_error(EINVAL, std::generic_category(), "remove " + path);
  }
  const Descriptor parent(::open(parentPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid())
    throw std::system_error(errno, std::generic_category(), "open " + parentPath);

  struct stat status {};
  if (::fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::system_error(errno, std::generic_category(), "remove " + path);
  }
  Failures failures;
  removeChild(parent.get(), name, S_ISDIR(status.st_mode) ? Kind::folder : Kind::other, failures);
  if (failures.first() != 0) {
    throw std::system_error(failures.first(), std::generic_category(), "remove " + path);
  }
}

}  // namespace platform::fileManager
