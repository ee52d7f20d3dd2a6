#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// A mount made for one test and unmounted when the object goes. ok() is false, with the reason in
// why(), when this machine does not let the test mount (not root, no mount namespace rights).
class ScopedMount {
 public:
  // A tmpfs of `bytes` at `at` (created when missing): a tiny one makes a full disk.
  static ScopedMount tinyTmpfs(const std::filesystem::path& at, std::size_t bytes);
  // `folder` bound read-only onto itself: writing inside fails with EROFS.
  static ScopedMount readOnlyBind(const std::filesystem::path& folder);
  // A new file system of `type` (xfs, btrfs…) made by mkfs.<type> with `mkfsOptions` in a sparse
  // image file of `bytes` at `image`, loop-mounted at `at` (created when missing). Not ok() where
  // the tool, a loop device or the kernel's support is missing.
  static ScopedMount loopImage(const std::filesystem::path& image, const std::filesystem::path& at,
                               const std::string& type, const std::vector<std::string>& mkfsOptions,
                               std::size_t bytes);

  ScopedMount(ScopedMount&& other) noexcept;
  ScopedMount& operator=(ScopedMount&&) = delete;
  ~ScopedMount();

  bool ok() const { return mounted_ && why_.empty(); }
  const std::string& why() const { return why_; }

 private:
  ScopedMount() = default;
  std::filesystem::path at_;
  bool mounted_ = false;
  std::string why_;
};

}  // namespace testing_support
