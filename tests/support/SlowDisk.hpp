#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <sys/types.h>

namespace testing_support {

// A slow disk: an ext2 file system on a loop device holding one recording of real blocks (ext2
// has no unwritten extents, so every read goes to the device), `recordingBytes` long, whose
// reads are throttled to `readBytesPerSecond` for the processes placed in a cgroup of the test's
// (cgroup v2 io.max, else v1 blkio). Needs root; ok() says whether it could be made, why() why
// not. Unmounted and taken apart when the object goes.
class SlowDisk {
 public:
  static constexpr std::uint64_t recordingBytes = std::uint64_t{4} << 30;
  static constexpr std::uint64_t readBytesPerSecond = std::uint64_t{4} << 20;  // over 16 minutes

  // The image file at `image`, mounted read-only at `at`.
  SlowDisk(const std::filesystem::path& image, const std::filesystem::path& at);
  ~SlowDisk();
  SlowDisk(const SlowDisk&) = delete;
  SlowDisk& operator=(const SlowDisk&) = delete;

  bool ok() const { return why_.empty(); }
  const std::string& why() const { return why_; }
  std::filesystem::path recording() const { return at_ / "Recording.mov"; }

  // Places the test, and so the processes it starts from now on, in the slow cgroup.
  void enter() const;
  // Takes the test back to the cgroup it was in when the disk was made; what it started stays.
  void leave() const;

  // Bytes the process `pid` has read from storage so far (/proc/<pid>/io), so a test can tell a
  // copy from the slow disk is under way; 0 when that cannot be read.
  static std::uint64_t bytesReadBy(pid_t pid);

 private:
  bool throttle();

  std::filesystem::path image_;
  std::filesystem::path at_;
  std::string device_;
  std::filesystem::path cgroup_;
  std::filesystem::path home_;  // the test's own cgroup in the same hierarchy
  bool mounted_ = false;
  std::string why_;
};

}  // namespace testing_support
