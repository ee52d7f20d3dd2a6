#include "tests/support/Mounts.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>

#include <sys/mount.h>
#include <unistd.h>

#include "tests/support/Subprocess.hpp"

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

ScopedMount ScopedMount::loopImage(const std::filesystem::path& image,
                                   const std::filesystem::path& at, const std::string& type,
                                   const std::vector<std::string>& mkfsOptions, std::size_t bytes) {
  ScopedMount mount;
  mount.at_ = at;
  std::filesystem::create_directories(at);
  std::ofstream(image, std::ios::binary | std::ios::trunc).close();
  if (::truncate(image.c_str(), static_cast<off_t>(bytes)) != 0) {
    mount.why_ = "cannot size the image file: " + std::generic_category().message(errno);
    return mount;
  }
  std::vector<std::string> mkfs{"mkfs." + type};
  mkfs.insert(mkfs.end(), mkfsOptions.begin(), mkfsOptions.end());
  mkfs.push_back(image.string());
  if (const auto made = run(mkfs); made.exitStatus != 0) {
    mount.why_ = "mkfs." + type + " failed or is not installed: " + made.err;
    return mount;
  }
  // mount(8) finds a free loop device and lets it go again when the file system is unmounted.
  if (const auto mounted = run({"mount", "-t", type, "-o", "loop", image.string(), at.string()});
      mounted.exitStatus != 0) {
    mount.why_ = "cannot loop-mount a " + type + " image: " + mounted.err;
    return mount;
  }
  mount.mounted_ = true;
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
