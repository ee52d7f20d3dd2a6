// Existence, folder creation, renaming and the home folder. Copying, removal and listing live in
// FileCopy.cpp, FileRemoval.cpp and DirectoryContents.cpp.
#include "platform/FileManager.hpp"
#include "platform/detail/Posix.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::fileManager {
namespace {

using posix::localPath;
using posix::requireLocalPath;
using posix::throwSystemError;

bool isDirectoryAt(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// mkdir that takes an existing folder as success. True when this call made the folder.
bool makeDirectory(const std::string& path, int& error) {
  if (::mkdir(path.c_str(), 0777) == 0) {
    error = 0;
    return true;
  }
  error = errno;
  // Someone else's folder, or one made in between by another thread, is just as good; any other
  // item in the way keeps the system's EEXIST.
  if (error == EEXIST && isDirectoryAt(path)) error = 0;
  return false;
}

// Makes `path` and the missing folders above it, recording each folder it made, top first.
void makeDirectories(const std::string& path, std::vector<std::string>& made) {
  int error = 0;
  if (makeDirectory(path, error)) made.push_back(path);
  if (error == 0) return;
  const std::string parent = posix::parentAndName(path).parent;
  if (error != ENOENT || parent == path) throwSystemError(error, "create folder", path);
  makeDirectories(parent, made);
  if (makeDirectory(path, error)) made.push_back(path);
  if (error != 0) throwSystemError(error, "create folder", path);
}

// Renaming where the file system refuses RENAME_NOREPLACE: a hard link claims the new name
// without replacing anything, and only then is the old name let go. A folder cannot be linked;
// an empty folder made at the new name holds the place instead, and renaming a folder over an
// empty one is allowed.
void moveClaimingTheName(const std::string& from, const std::string& to) {
  struct stat status {};
  if (::lstat(from.c_str(), &status) != 0) throwSystemError(errno, "move", from);
  if (S_ISDIR(status.st_mode)) {
    if (::mkdir(to.c_str(), 0700) != 0) throwSystemError(errno, "move to", to);
    if (::rename(from.c_str(), to.c_str()) != 0) {
      const int error = errno;
      ::rmdir(to.c_str());
      throwSystemError(error, "move", from);
    }
    return;
  }
  if (::link(from.c_str(), to.c_str()) != 0) throwSystemError(errno, "move to", to);
  if (::unlink(from.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    throwSystemError(error, "move", from);
  }
}

}  // namespace

bool fileExists(const Url& url, bool* isDirectory) {
  const auto path = localPath(url);
  struct stat status {};
  if (!path || ::stat(path->c_str(), &status) != 0) return false;
  if (isDirectory != nullptr) *isDirectory = S_ISDIR(status.st_mode);
  return true;
}

bool itemExists(const Url& url) {
  const auto path = localPath(url);
  struct stat status {};
  return path && ::lstat(path->c_str(), &status) == 0;
}

void createDirectory(const Url& folder, bool withIntermediateDirectories) {
  const std::string path = requireLocalPath(folder, "create folder");
  if (!withIntermediateDirectories) {
    if (::mkdir(path.c_str(), 0777) != 0) throwSystemError(errno, "create folder", path);
    return;
  }
  // Nearly always there already: one look instead of a refused mkdir and a look.
  if (isDirectoryAt(path)) return;
  std::vector<std::string> made;
  try {
    makeDirectories(path, made);
  } catch (...) {
    // Leave the file system as it was: take back the folders this call made, deepest first.
    for (auto it = made.rbegin(); it != made.rend(); ++it) ::rmdir(it->c_str());
    throw;
  }
}

void moveItem(const Url& from, const Url& to) {
  const std::string source = requireLocalPath(from, "move");
  const std::string target = requireLocalPath(to, "move to");
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return;
  }
  const int error = errno;
  if (error != EINVAL && error != ENOSYS) throwSystemError(error, "move", source);
  moveClaimingTheName(source, target);
}

Url homeDirectoryForCurrentUser() {
  // An empty $HOME would name the current folder; it counts as unset.
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): read only
  if (home == nullptr || *home == '\0') return Url::fileURL("/", true);
  try {
    return Url::fileURL(home, true);
  } catch (const std::system_error&) {
    // A relative $HOME, and the current folder it is taken from is gone.
    return Url::fileURL("/", true);
  }
}

bool startAccessingSecurityScopedResource(const Url&) { return false; }

void stopAccessingSecurityScopedResource(const Url&) {}

}  // namespace platform::fileManager
