#include "platform/app/sandbox/LaunchPolicy.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/app/workspace/Bundle.hpp"
#include "platform/app/workspace/ProgramLookup.hpp"

namespace platform {
namespace {

using posix::FileDescriptor;
using posix::throwSystemError;

// A property list or desktop entry longer than this is no application's.
constexpr std::size_t maximumDescription = std::size_t{1} << 20;

struct FileIdentity {
  dev_t device;
  ino_t inode;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

FileIdentity identityOf(int fd, const std::string& what) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throwSystemError(errno, "fstat", what);
  return {info.st_dev, info.st_ino};
}

// Whether `info` is controlled by root or `user` alone, as ssh asks of its files: owned by one of
// them, and writable by no one else; a folder that others may write is still theirs to rely on
// when it is sticky, as /tmp is (nobody else can rename or remove what lies in it).
bool controlledBy(const struct stat& info, uid_t user) {
  if (info.st_uid != 0 && info.st_uid != user) return false;
  const bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return !othersWrite || (S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0);
}

// Refuses (EPERM) the open item `fd` unless root or `user` alone controls it.
void requireControlled(int fd, uid_t user, const std::string& what) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throwSystemError(errno, "fstat", what);
  if (!controlledBy(info, user)) throwSystemError(EPERM, "another user could change it", what);
}

// The folders where the confined side writes, known by device and inode: a path names them
// only for as long as nobody renames or links anything.
class UntrustedFolders {
 public:
  UntrustedFolders(const std::vector<std::string>& paths, uid_t user) : user_(user) {
    for (const auto& path : paths) {
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0) folders_.push_back({info.st_dev, info.st_ino});
    }
  }

  // Refuses (EPERM) the open folder `folder` when it, or one above it, is one of them, or is not
  // controlled by root or the sharing user alone. Walks up by "..", which is where the folder
  // really lies, however it was reached.
  void requireTrusted(int folder, const std::string& what) const {
    FileDescriptor above;
    int at = folder;
    for (;;) {
      struct stat here {};
      if (::fstat(at, &here) != 0) throwSystemError(errno, "fstat", what);
      if (std::find(folders_.begin(), folders_.end(), FileIdentity{here.st_dev, here.st_ino}) !=
          folders_.end()) {
        throwSystemError(EPERM, "lies where the confined side writes", what);
      }
      if (!controlledBy(here, user_)) {
        throwSystemError(EPERM, "lies in a folder another user could change", what);
      }
      FileDescriptor parent = posix::openAt(at, "..", O_PATH | O_DIRECTORY);
      if (!parent.valid()) throwSystemError(errno, "open ..", what);
      if (identityOf(parent.get(), what) == FileIdentity{here.st_dev, here.st_ino}) return;
      above = std::move(parent);
      at = above.get();
    }
  }

  uid_t user() const { return user_; }

 private:
  std::vector<FileIdentity> folders_;
  uid_t user_;
};

// Opens `path` beneath the open folder `folder`; a link on the way is refused (EPERM), never
// followed.
FileDescriptor openBelow(int folder, const char* path, int flags, const std::string& what) {
  FileDescriptor opened = posix::openBeneath(folder, path, flags);
  if (!opened.valid()) throwSystemError(errno == ELOOP ? EPERM : errno, "open", what);
  return opened;
}

// An item opened by its real path: the folder it lies in, and the item itself, never a link.
struct OpenedItem {
  FileDescriptor folder;
  FileDescriptor item;
  std::string realPath;
};

// Opens `path` by its real path: the real folder, then the last component without following a
// link (one made since the path was resolved is refused).
OpenedItem openReal(const std::string& path, int flags) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) throwSystemError(errno, "realpath", path);
  std::string real(resolved);
  std::free(resolved);  // NOLINT(cppcoreguidelines-no-malloc): realpath's own allocation
  const auto [folder, name] = posix::parentAndName(real);
  if (name.empty()) throwSystemError(EPERM, "not an application", path);
  OpenedItem opened;
  opened.folder = posix::openAt(AT_FDCWD, folder.c_str(), O_PATH | O_DIRECTORY);
  if (!opened.folder.valid()) throwSystemError(errno, "open", real);
  opened.item = openBelow(opened.folder.get(), name.c_str(), flags, real);
  opened.realPath = std::move(real);
  return opened;
}

void requireRegularFile(int fd, const std::string& what) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) throwSystemError(errno, "fstat", what);
  if (!S_ISREG(info.st_mode)) throwSystemError(EPERM, "not a regular file", what);
}

std::string readDescription(int fd, const std::string& what) {
  requireRegularFile(fd, what);
  // Read as it comes rather than into a buffer of the largest size: a description is small, and
  // a megabyte zeroed for each launch costs more than the launch's own reading.
  std::string text;
  std::array<char, 4096> chunk{};
  while (true) {
    const ssize_t length = posix::readAll(fd, chunk.data(), chunk.size());
    if (length < 0) throwSystemError(errno, "read", what);
    if (text.size() + static_cast<std::size_t>(length) > maximumDescription) {
      throwSystemError(EFBIG, "read", what);
    }
    text.append(chunk.data(), static_cast<std::size_t>(length));
    if (static_cast<std::size_t>(length) < chunk.size()) return text;
  }
}

// The path's components, or none for one that is not absolute or holds an empty, "." or ".."
// component.
std::optional<std::vector<std::string_view>> components(std::string_view path) {
  if (!path.starts_with('/')) return std::nullopt;
  std::vector<std::string_view> parts;
  for (std::size_t at = 1; at <= path.size();) {
    const auto end = std::min(path.find('/', at), path.size());
    const auto part = path.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    parts.push_back(part);
    at = end + 1;
  }
  return parts;
}

bool liesInAShareFolder(const std::string& file, const std::vector<std::string>& shareFolders) {
  const auto parts = components(file);
  if (!parts || file.find('\0') != std::string::npos) return false;
  return std::any_of(shareFolders.begin(), shareFolders.end(), [&](const std::string& folder) {
    const auto above = components(folder);
    return above && parts->size() == above->size() + 2 &&
           std::equal(above->begin(), above->end(), parts->begin());
  });
}

// A bundle's program, opened, and the command lines that open `files` with it.
VerifiedLaunch verifyBundle(const std::string& application, const std::vector<std::string>& files,
                            std::size_t room, const LaunchTrust& trust,
                            const UntrustedFolders& untrusted) {
  const auto bundle = openReal(application, O_PATH | O_DIRECTORY);
  const std::string& path = bundle.realPath;
  const auto info = openBelow(bundle.item.get(), "Contents/Info.plist", O_RDONLY, path);
  requireControlled(info.get(), untrusted.user(), path + "/Contents/Info.plist");
  const std::string plist = readDescription(info.get(), path + "/Contents/Info.plist");
  if (propertyListString(plist, "CFBundleIdentifier") != trust.applicationIdentifier) {
    throwSystemError(EPERM, "not the trusted application", path);
  }
  const auto name = propertyListString(plist, "CFBundleExecutable");
  if (!name || name->empty() || *name == "." || *name == ".." ||
      name->find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    throwSystemError(ENOENT, "no Contents/Info.plist naming a program", path);
  }
  const auto macOS = openBelow(bundle.item.get(), "Contents/MacOS", O_PATH | O_DIRECTORY, path);
  // Above the program's folder lie Contents, the bundle and every folder around it.
  untrusted.requireTrusted(macOS.get(), path);
  const std::string program = path + "/Contents/MacOS/" + *name;
  VerifiedLaunch launch{openBelow(macOS.get(), name->c_str(), O_PATH, program), {}};
  requireRegularFile(launch.program.get(), program);
  requireControlled(launch.program.get(), untrusted.user(), program);
  launch.commandLines = fitCommandLine({.before = {program}, .files = files}, room);
  return launch;
}

// The desktop entry the workspace finds for the trusted identifier: the first regular file of
// that name in the application folders.
std::optional<std::string> trustedEntryPath(const LaunchTrust& trust) {
  const std::string name = trust.applicationIdentifier + ".desktop";
  for (const auto& folder : trust.applicationFolders) {
    const std::string candidate = folder.appendingPathComponent(name).path();
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return candidate;
  }
  return std::nullopt;
}

VerifiedLaunch verifyDesktopEntry(const std::string& application,
                                  const std::vector<std::string>& files, std::size_t room,
                                  const LaunchTrust& trust, const UntrustedFolders& untrusted) {
  if (trust.applicationIdentifier.empty() || trustedEntryPath(trust) != application) {
    throwSystemError(EPERM, "not the trusted application's desktop entry", application);
  }
  const auto opened = openReal(application, O_RDONLY);
  untrusted.requireTrusted(opened.folder.get(), application);
  requireControlled(opened.item.get(), untrusted.user(), application);
  const auto entry = DesktopEntry::parse(readDescription(opened.item.get(), application),
                                         Url::fileURL(application, /*isDirectory=*/false));
  if (entry.isHidden()) throwSystemError(ENOENT, "a hidden desktop entry", application);
  std::vector<Url> urls;
  urls.reserve(files.size());
  for (const auto& file : files) urls.push_back(Url::fileURL(file, /*isDirectory=*/false));
  VerifiedLaunch launch{
      {}, entry.commandLines(urls, room), entry.value("DBusActivatable") == "true"};
  if (launch.commandLines.empty()) throwSystemError(EINVAL, "no command line", application);
  const std::string named = launch.commandLines.front().arguments().front();
  for (const auto& line : launch.commandLines) {
    if (line.arguments().front() != named) {
      throwSystemError(EPERM, "more than one program", application);
    }
  }
  // Found once; from here on only the open file counts.
  auto program = openReal(findProgram(named), O_PATH);
  requireRegularFile(program.item.get(), program.realPath);
  untrusted.requireTrusted(program.folder.get(), program.realPath);
  requireControlled(program.item.get(), untrusted.user(), program.realPath);
  launch.program = std::move(program.item);
  return launch;
}

}  // namespace

LaunchPolicy::LaunchPolicy(LaunchTrust trust) : trust_(std::move(trust)) {}

void LaunchPolicy::verifyFiles(const std::vector<std::string>& files) const {
  for (const auto& file : files) {
    if (!liesInAShareFolder(file, trust_.shareFolders)) {
      throwSystemError(EPERM, "not a shared file", file);
    }
  }
}

VerifiedLaunch LaunchPolicy::verify(const std::string& application,
                                    const std::vector<std::string>& files, std::size_t room) const {
  verifyFiles(files);
  if (trust_.applicationIdentifier.empty() || application.find('\0') != std::string::npos) {
    throwSystemError(EPERM, "not the trusted application", application);
  }
  // Known by what their paths name at each request, in case one was made since the last.
  const UntrustedFolders untrusted(trust_.untrusted, trust_.user);
  struct stat info {};
  if (application.ends_with(".desktop") && ::stat(application.c_str(), &info) == 0 &&
      S_ISREG(info.st_mode)) {
    return verifyDesktopEntry(application, files, room, trust_, untrusted);
  }
  return verifyBundle(application, files, room, trust_, untrusted);
}

}  // namespace platform
