#include "tests/support/Unremovable.hpp"

#include <cerrno>
#include <fstream>
#include <system_error>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace testing_support {
namespace {

// Sets or clears the immutable attribute (what `chattr +i` does); 0 or the errno.
int setImmutable(const std::filesystem::path& file, bool immutable) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  int flags = 0;
  int error = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
    error = errno;
  } else {
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) error = errno;
  }
  ::close(fd);
  return error;
}

}  // namespace

Unremovable::Unremovable(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  item_ = folder / "locked";
  std::ofstream(item_) << "cannot go";
  const int immutableError = setImmutable(item_, true);
  if (immutableError == 0) {
    immutable_ = true;
    error_ = EPERM;
    return;
  }
  std::filesystem::remove(item_);
  std::filesystem::create_directory(item_);
  if (::mount("tmpfs", item_.c_str(), "tmpfs", 0, "size=64k") == 0) {
    mounted_ = true;
    error_ = EBUSY;
    return;
  }
  const int mountError = errno;
  why_ = "no immutable attribute here (" + std::generic_category().message(immutableError) +
         ") and no mount either (" + std::generic_category().message(mountError) + ")";
}

Unremovable::~Unremovable() {
  if (immutable_) setImmutable(item_, false);
  if (mounted_) ::umount2(item_.c_str(), MNT_DETACH);
}

}  // namespace testing_support
