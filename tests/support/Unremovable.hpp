#pragma once

#include <filesystem>
#include <string>

namespace testing_support {

// Something inside a folder that keeps the folder from being removed, undone when the object
// goes: an immutable file where the file system supports the attribute, else a mount point. ok()
// is false, with the reason in why(), when this machine allows neither.
class Unremovable {
 public:
  explicit Unremovable(const std::filesystem::path& folder);
  Unremovable(const Unremovable&) = delete;
  Unremovable& operator=(const Unremovable&) = delete;
  ~Unremovable();

  bool ok() const { return error_ != 0; }
  const std::string& why() const { return why_; }
  // The item inside the folder that cannot be removed.
  const std::filesystem::path& item() const { return item_; }
  // The error the system reports when removing it: EPERM for an immutable file, EBUSY for a
  // mount point.
  int expectedError() const { return error_; }

 private:
  std::filesystem::path item_;
  int error_ = 0;
  bool immutable_ = false;
  bool mounted_ = false;
  std::string why_;
};

}  // namespace testing_support
