// A long recording on a slow disk: the share shows how far the copy has come, and ends at once
// when interrupted, the copy cut short and nothing of it left behind.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/E2eFixture.hpp"
#include "tests/e2e/LiveShare.hpp"
#include "tests/support/Terminal.hpp"
#include "tests/support/WaitUntil.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::uint64_t recordingBytes = std::uint64_t{2} << 30;
constexpr std::uint64_t blockBytes = 4096;
constexpr std::uint64_t readBytesPerSecond = std::uint64_t{4} << 20;  // 2 GiB: over eight minutes

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

// An ext2 file system on a loop device holding one recording of real blocks (ext2 has no
// unwritten extents, so every read goes to the device) whose reads are throttled for the
// processes placed in a cgroup of the test's: the slow disk.
class SlowDisk {
 public:
  SlowDisk(const fs::path& image, const fs::path& at) : image_(image), at_(at) {
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
  ~SlowDisk() {
    leave();
    if (!cgroup_.empty()) ::rmdir(cgroup_.c_str());
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    if (!device_.empty()) run("losetup -d " + device_);
    std::error_code ignored;
    fs::remove(image_, ignored);
  }
  SlowDisk(const SlowDisk&) = delete;
  SlowDisk& operator=(const SlowDisk&) = delete;

  bool ok() const { return why_.empty(); }
  const std::string& why() const { return why_; }
  fs::path recording() const { return at_ / "Recording.mov"; }

  // Places the test, and so the processes it starts from now on, in the slow cgroup.
  void enter() const { writeText(cgroup_ / "cgroup.procs", std::to_string(::getpid())); }
  // Takes the test out again; what it started stays.
  void leave() const {
    if (!cgroup_.empty())
      writeText(cgroup_.parent_path() / "cgroup.procs", std::to_string(::getpid()));
  }

 private:
  bool throttle() {
    struct stat info {};
    if (::stat(device_.c_str(), &info) != 0) return false;
    const std::string device =
        std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
    const std::string name = "kelpword-slow-disk-" + std::to_string(::getpid());
    const fs::path v2 = "/sys/fs/cgroup";
    if (output("cat /sys/fs/cgroup/cgroup.controllers 2>/dev/null").find("io") !=
        std::string::npos) {
      writeText(v2 / "cgroup.subtree_control", "+io");
      cgroup_ = v2 / name;
      if (::mkdir(cgroup_.c_str(), 0755) != 0) return false;
      return writeText(cgroup_ / "io.max", device + " rbps=" + std::to_string(readBytesPerSecond));
    }
    const fs::path v1 = "/sys/fs/cgroup/blkio";
    if (!fs::exists(v1 / "blkio.throttle.read_bps_device")) return false;
    cgroup_ = v1 / name;
    if (::mkdir(cgroup_.c_str(), 0755) != 0) return false;
    return writeText(cgroup_ / "blkio.throttle.read_bps_device",
                     device + " " + std::to_string(readBytesPerSecond));
  }

  fs::path image_;
  fs::path at_;
  std::string device_;
  fs::path cgroup_;
  bool mounted_ = false;
  std::string why_;
};

// Bytes the process has read from storage so far (/proc/<pid>/io).
std::uint64_t storageBytesRead(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "read_bytes:") return value;
  }
  return 0;
}

// What lies in the test's folder, $TMPDIR of the share, beyond what the test made itself.
std::vector<std::string> leftBehind(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name != "home" && name != "data-home" && name != "data-dirs" && name != "passwd" &&
        name != "group" && name != "slow.img" && name != "slow") {
      names.push_back(name);
    }
  }
  return names;
}

class LongCopyTest : public ShareExtensionTest {
 protected:
  void SetUp() override {
    ShareExtensionTest::SetUp();
    disk_.emplace(folder() / "slow.img", folder() / "slow");
    if (!disk_->ok()) GTEST_SKIP() << disk_->why();
    makeInbox();
  }
  void TearDown() override { disk_.reset(); }

  const SlowDisk& disk() const { return *disk_; }

 private:
  std::optional<SlowDisk> disk_;
};

TEST_F(LongCopyTest, AnInterruptionDuringTheCopyEndsTheShareWithinASecondLeavingNothing) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::sigabbrev_np(signal));
    fs::remove_all(inbox());
    makeInbox();
    disk().enter();
    LiveShare share({disk().recording().string()}, environment());
    disk().leave();
    ASSERT_TRUE(share.started());
    share.readUntil(sending, seconds(10));
    ASSERT_TRUE(testing_support::waitUntil(
        [&] { return storageBytesRead(share.pid()) > (std::uint64_t{1} << 20); },
        milliseconds(10000)))
        << "the copy is under way, and slow";

    const auto interrupted = std::chrono::steady_clock::now();
    share.signalGroup(signal);
    const int status = share.wait();
    const auto took = std::chrono::steady_clock::now() - interrupted;

    EXPECT_EQ(status, 1) << "ends as cancelled";
    EXPECT_LT(took, seconds(1));
    EXPECT_EQ(leftBehind(folder()), std::vector<std::string>{});
    const auto folders = shareFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(fs::is_empty(folders[0])) << "nothing, hidden or not, in the per-share folder";
  }
  EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
}

TEST_F(LongCopyTest, TheTerminalSheetShowsHowFarTheCopyHasCome) {
  testing_support::TerminalOptions options;
  options.environment = environment();
  disk().enter();
  const auto program =
      testing_support::startOnTerminal({KELPWORD_SHARE, disk().recording().string()}, options);
  disk().leave();

  std::string seen;
  testing_support::readTerminalUntil(program.terminal, seen, "MiB/s");
  ::kill(-program.pid, SIGTERM);
  int status = 0;
  ::waitpid(program.pid, &status, 0);
  ::close(program.terminal);

  EXPECT_NE(seen.find("Sending to KelpWord"), std::string::npos) << seen;
  // "0 % — 12.0 MiB of 2.0 GiB, 4.0 MiB/s", the status line kept above it.
  EXPECT_NE(seen.find(" % \u2014 "), std::string::npos) << seen;
  EXPECT_NE(seen.find(" of 2.0 GiB, "), std::string::npos) << seen;
  EXPECT_NE(seen.find("MiB/s"), std::string::npos) << seen;
}

TEST_F(LongCopyTest, PrintedLinesShowNoProgress) {
  disk().enter();
  LiveShare share({disk().recording().string()}, environment());
  disk().leave();
  ASSERT_TRUE(share.started());
  // Long enough for several updates of a terminal sheet.
  ASSERT_TRUE(testing_support::waitUntil(
      [&] { return storageBytesRead(share.pid()) > (std::uint64_t{8} << 20); },
      milliseconds(10000)));
  share.signalGroup(SIGINT);
  EXPECT_EQ(share.wait(), 1);
  EXPECT_EQ(share.readUntil("\n\n", seconds(1)), sending) << "all it printed, to its end";
}

}  // namespace
}  // namespace e2e
