#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileManager.hpp"

namespace platform::fileManager {
namespace {

using TimePoint = std::chrono::system_clock::time_point;

[[noreturn]] void throwErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

struct DirectoryCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

TimePoint timePointOf(const struct statx_timestamp& stamp) {
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(
      std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
}

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
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
  if (!folder.isFileURL()) throwErrno(EINVAL, "contentsOfDirectory: not a file URL");
  const std::string path = folder.path();
  // A C string would cut the path short at a NUL and name another folder.
  if (path.find('\0') != std::string::npos) throwErrno(EINVAL, "contentsOfDirectory");
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throwErrno(errno, "open " + path);
  DirectoryStream directory(::fdopendir(fd));
  if (!directory) {
    const int error = errno;
    ::close(fd);
    throwErrno(error, "fdopendir " + path);
  }

  std::vector<DirectoryEntry> entries;
  for (;;) {
    errno = 0;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads this stream
    const struct dirent* found = ::readdir(directory.get());
    if (found == nullptr) {
      if (errno != 0) throwErrno(errno, "readdir " + path);
      return entries;
    }
    if (isDotOrDotDot(found->d_name)) continue;
    entries.push_back(describe(folder, fd, *found));
  }
}

}  // namespace platform::fileManager
