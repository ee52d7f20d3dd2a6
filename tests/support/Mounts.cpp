#include "tests/support/Mounts.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/mount.h>

namespace testing_support {

ScopedMount ScopedMount::tinyTmpfs(const std::filesystem::path& at, std::size_t bytes) {
  ScopedMount mount;
  mount.at_ = at;
  std::filesystem::create_directories(at);
  const std::string options = "size=" + std::to_string(bytes);
  if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0) {
    mount.mounted_ = true;
  } else {
    mount.why_ = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
  }
  return mount;
}

ScopedMount ScopedMount::readOnlyBind(const std::filesystem::path& folder) {
  ScopedMount mount;
  mount.at_ = folder;
  if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    mount.why_ = std::string("cannot bind-mount here: ") + std::strerror(errno);
    return mount;
  }
  mount.mounted_ = true;
  if (::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
    mount.why_ = std::string("cannot make a bind mount read-only: ") + std::strerror(errno);
  }
  return mount;
}

ScopedMount::ScopedMount(ScopedMount&& other) noexcept
    : at_(std::move(other.at_)), mounted_(other.mounted_), why_(std::move(other.why_)) {
  other.mounted_ = false;
}

ScopedMount::~ScopedMount() {
  if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
}

}  // namespace testing_support
