#include "tests/support/SlowDisk.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace testing_support {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t blockBytes = 4096;

// Runs a shell command line; whether it succeeded.
bool run(const std::string& command) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test runs one thread
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string output(const std::string& command) {
  std::string text;
  // NOLINTNEXTLINE(cert-env33-c): a fixed command line of the test's own
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    ::pclose(pipe);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool writeText(const fs::path& file, const std::string& text) {
  std::ofstream out(file);
  out << text;
  out.flush();
  return out.good();
}

// The test's own cgroup, as /proc/self/cgroup names it, in the hierarchy mounted at `root`: the
// v2 one ("0::/path") when `controller` is empty, else the v1 one that holds `controller`. The
// root itself when the line is missing.
fs::path ownCgroup(const fs::path& root, const std::string& controller) {
  std::ifstream lines("/proc/self/cgroup");
  for (std::string line; std::getline(lines, line);) {
    const auto first = line.find(':');
    if (first == std::string::npos) continue;
    const auto second = line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool found =
        controller.empty()
            ? line.compare(0, first, "0") == 0 && controllers.empty()
            : ("," + controllers + ",").find("," + controller + ",") != std::string::npos;
    if (found) return root / fs::path(line.substr(second + 1)).relative_path();
  }
  return root;
}

}  // namespace

SlowDisk::SlowDisk(const fs::path& image, const fs::path& at) : image_(image), at_(at) {
  if (::geteuid() != 0) {
    why_ = "needs root for a loop device and a cgroup";
    return;
  }
  const auto blocks = std::to_string(recordingBytes / blockBytes);
  const std::string quoted = "'" + image.string() + "'";
  if (!run("truncate -s " + std::to_string(recordingBytes + (std::uint64_t{256} << 20)) + " " +
           quoted) ||
      !run("mkfs.ext2 -q -F -b 4096 " + quoted) ||
      !run("debugfs -w -R 'write /dev/null Recording.mov' " + quoted) ||
      !run("debugfs -w -R 'fallocate Recording.mov 0 " +
           std::to_string(recordingBytes / blockBytes - 1) + "' " + quoted) ||
      !run("debugfs -w -R 'sif Recording.mov size " + std::to_string(recordingBytes) + "' " +
           quoted) ||
      !run("debugfs -w -R 'sif Recording.mov mode 0100644' " + quoted)) {
    why_ = "cannot make the recording's file system (mkfs.ext2, debugfs)";
    return;
  }
  device_ = output("losetup --find --show " + quoted);
  if (device_.empty()) {
    why_ = "no loop device";
    return;
  }
  fs::create_directories(at);
  if (::mount(device_.c_str(), at.c_str(), "ext2", MS_RDONLY, nullptr) != 0) {
    why_ = std::string("cannot mount the image: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
  if (!throttle()) why_ = "no cgroup io controller (v2 io.max or v1 blkio) to throttle reads";
}

SlowDisk::~SlowDisk() {
  leave();
  // A cgroup goes only once empty: what the test started there (a share's broker, a stand-in
  // KelpWord) may still be ending.
  for (int tries = 0;
       !cgroup_.empty() && ::rmdir(cgroup_.c_str()) != 0 && errno == EBUSY && tries < 100;
       ++tries) {
    ::usleep(20'000);
  }
  if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  if (!device_.empty()) run("losetup -d " + device_);
  std::error_code ignored;
  fs::remove(image_, ignored);
}

void SlowDisk::enter() const { writeText(cgroup_ / "cgroup.procs", std::to_string(::getpid())); }

void SlowDisk::leave() const {
  if (!cgroup_.empty()) writeText(home_ / "cgroup.procs", std::to_string(::getpid()));
}

std::uint64_t SlowDisk::bytesReadBy(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "read_bytes:") return value;
  }
  return 0;
}

bool SlowDisk::throttle() {
  struct stat info {};
  if (::stat(device_.c_str(), &info) != 0) return false;
  const std::string device =
      std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
  const std::string name = "kelpword-slow-disk-" + std::to_string(::getpid());
  const fs::path v2 = "/sys/fs/cgroup";
  if (output("cat /sys/fs/cgroup/cgroup.controllers 2>/dev/null").find("io") != std::string::npos) {
    // Left on afterwards: another test's slow disk may rely on it by then.
    writeText(v2 / "cgroup.subtree_control", "+io");
    home_ = ownCgroup(v2, "");
    cgroup_ = v2 / name;
    if (::mkdir(cgroup_.c_str(), 0755) != 0) return false;
    return writeText(cgroup_ / "io.max", device + " rbps=" + std::to_string(readBytesPerSecond));
  }
  const fs::path v1 = "/sys/fs/cgroup/blkio";
  if (!fs::exists(v1 / "blkio.throttle.read_bps_device")) return false;
  home_ = ownCgroup(v1, "blkio");
  cgroup_ = v1 / name;
  if (::mkdir(cgroup_.c_str(), 0755) != 0) return false;
  return writeText(cgroup_ / "blkio.throttle.read_bps_device",
                   device + " " + std::to_string(readBytesPerSecond));
}

}  // namespace testing_support
