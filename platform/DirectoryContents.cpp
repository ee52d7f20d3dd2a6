#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/FileManager.hpp"
#include "platform/detail/Posix.hpp"

namespace platform::fileManager {
namespace {

using TimePoint = std::chrono::system_clock::time_point;

TimePoint timePointOf(const struct statx_timestamp& stamp) {
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(
      std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
}

// The entry's dates and kind, judged by the entry itself (a link is not followed). An entry that
// vanished or cannot be examined keeps no dates; its kind then comes from the listing.
DirectoryEntry describe(const Url& folder, int folderFd, const struct dirent& found) {
  struct statx status {};
  const int examined = ::statx(folderFd, found.d_name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                               STATX_TYPE | STATX_MTIME | STATX_BTIME, &status);
  if (examined != 0) {
    return {folder.appendingPathComponent(found.d_name, found.d_type == DT_DIR), std::nullopt,
            std::nullopt};
  }
  DirectoryEntry entry{folder.appendingPathComponent(found.d_name, S_ISDIR(status.stx_mode)),
                       std::nullopt, std::nullopt};
  if ((status.stx_mask & STATX_BTIME) != 0) entry.creationDate = timePointOf(status.stx_btime);
  if ((status.stx_mask & STATX_MTIME) != 0) entry.modificationDate = timePointOf(status.stx_mtime);
  return entry;
}

}  // namespace

std::vector<DirectoryEntry> contentsOfDirectory(const Url& folder) {
  const std::string path = posix::requireLocalPath(folder, "list folder");
  const posix::FileDescriptor fd = posix::openAt(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY);
  if (!fd.valid()) posix::throwSystemError(errno, "open", path);

  std::vector<DirectoryEntry> entries;
  posix::DirectoryReader listing(fd.get(), "list folder", path);
  while (const dirent* found = listing.next())
    entries.push_back(describe(folder, fd.get(), *found));
  return entries;
}

}  // namespace platform::fileManager
