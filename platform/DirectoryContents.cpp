#include <algorithm>
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

// What the listing tells of an entry, kept until it is examined.
struct Listed {
  ino_t inode;
  unsigned char type;  // d_type, DT_UNKNOWN where the file system does not say
  std::string name;
};

TimePoint timePointOf(const struct statx_timestamp& stamp) {
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(
      std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
}

// The entry's dates and kind, judged by the entry itself (a link is not followed). An entry that
// vanished or cannot be examined keeps no dates; its kind then comes from the listing.
DirectoryEntry describe(const Url& folder, int folderFd, const Listed& found) {
  struct statx status {};
  const int examined = ::statx(folderFd, found.name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                               STATX_TYPE | STATX_MTIME | STATX_BTIME, &status);
  if (examined != 0) {
    return {folder.appendingPathComponent(found.name, found.type == DT_DIR), std::nullopt,
            std::nullopt};
  }
  DirectoryEntry entry{folder.appendingPathComponent(found.name, S_ISDIR(status.stx_mode)),
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

  std::vector<Listed> listed;
  {
    posix::DirectoryReader listing(fd.get(), "list folder", path);
    while (const dirent* found = listing.next()) {
      listed.push_back({found->d_ino, found->d_type, found->d_name});
    }
  }
  // A large folder lists its entries in the order of their names' hashes, which is no order on
  // disk. In inode order, examining them, and removing them after, walks the inode tables from
  // one end to the other instead of dirtying blocks all over them.
  std::sort(listed.begin(), listed.end(),
            [](const Listed& a, const Listed& b) { return a.inode < b.inode; });

  std::vector<DirectoryEntry> entries;
  entries.reserve(listed.size());
  for (const auto& found : listed) entries.push_back(describe(folder, fd.get(), found));
  return entries;
}

}  // namespace platform::fileManager
