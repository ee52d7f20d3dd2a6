// kelpword-bench portal [FOLDER] [--mib N] [--rounds N]
//
// kelpword-share sharing one large recording (256 MiB unless --mib says otherwise) that a
// sandboxed application exported through the document portal, from start to exit, against cp of
// the same path in the portal, each in a process of its own, taking turns at going first. Both
// read through the portal's FUSE file system. The portal is the real xdg-document-portal, started
// on a bus of the benchmark's own with a runtime folder inside a new folder in FOLDER (default
// /var/tmp), where the share's world lies too (bench/ShareWorld.hpp). The recording is read once
// before the rounds, and each copy is removed and the disk flushed before the next run, so that
// every run starts from the same state.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <sys/mount.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "bench/BenchArguments.hpp"
#include "bench/Benchmarks.hpp"
#include "bench/ProcessTiming.hpp"
#include "bench/ShareWorld.hpp"
#include "bench/WorkFolder.hpp"

#if defined(KELPWORD_SHARE) && defined(DOCUMENT_PORTAL_EXPORT)
#include "tests/support/PrivateBus.hpp"
#include "tests/support/Subprocess.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path documentPortal = "/usr/libexec/xdg-document-portal";
const fs::path permissionStore = "/usr/libexec/xdg-permission-store";
constexpr long kFuseMagic = 0x65735546;
constexpr const char* kName = "Field recording.m4a";

struct Options {
  std::string folder = "/var/tmp";
  long mebibytes = 256;
  long rounds = 6;  // even, so that each goes first as often
};

// Why the benchmark cannot run here, or none.
std::optional<std::string> missing() {
  if (nssWrapperLibrary().empty()) return "nss_wrapper is not installed (Debian: libnss-wrapper)";
  if (!fs::exists(documentPortal) || !fs::exists(permissionStore)) {
    return "xdg-document-portal is not installed (Debian: xdg-desktop-portal)";
  }
  if (!fs::exists("/dev/fuse")) return "no /dev/fuse for the portal's file system";
  if (!testing_support::privateBusAvailable()) return "dbus-daemon is not installed (Debian: dbus)";
  return std::nullopt;
}

void writeRecording(const fs::path& path, long mebibytes) {
  fs::create_directories(path.parent_path());
  std::vector<char> block(1024 * 1024);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (long i = 0; i < mebibytes; ++i) {
    std::fill(block.begin(), block.begin() + 64, static_cast<char>(i));
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Starts the portal on `bus` when first asked, in the world: never the real home's files.
void addPortal(const testing_support::PrivateBus& bus, const fs::path& world) {
  const fs::path runtime = world / "runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  const std::string environment = "/usr/bin/env XDG_RUNTIME_DIR=" + runtime.string() +
                                  " XDG_DATA_HOME=" + (world / "portal-data").string() +
                                  " HOME=" + (world / "not-the-home").string() + " ";
  bus.addService("org.freedesktop.portal.Documents", environment + documentPortal.string());
  bus.addService("org.freedesktop.impl.portal.PermissionStore",
                 environment + permissionStore.string());
}

// The path under which the portal shows `file`, exported as a sandboxed application exports what
// it hands over.
fs::path exported(const testing_support::PrivateBus& bus, const fs::path& world,
                  const fs::path& file) {
  testing_support::ProcessOptions options;
  options.environment = {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}};
  const auto result = testing_support::run({DOCUMENT_PORTAL_EXPORT, file.string()}, options);
  if (result.exitStatus != 0) throw std::runtime_error("the portal took no file: " + result.err);
  std::string id = result.out;
  while (!id.empty() && id.back() == '\n') id.pop_back();
  const fs::path shared = world / "runtime/doc" / id / file.filename();
  struct statfs where {};
  if (::statfs(shared.c_str(), &where) != 0 || where.f_type != kFuseMagic) {
    throw std::runtime_error(shared.string() + " is not on the portal's file system");
  }
  return shared;
}

// The one file a share received, in the one folder it made in the inbox.
fs::path receivedFile(const fs::path& world) {
  std::vector<fs::path> folders;
  for (const auto& entry : fs::directory_iterator(inboxOf(world))) folders.push_back(entry.path());
  if (folders.size() != 1) throw std::runtime_error("the share made no one folder in the inbox");
  return folders.front() / kName;
}

void readWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> block(1024 * 1024);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size()))) {
  }
}

void compare(const fs::path& world, const fs::path& shared, const Options& options) {
  const std::vector<std::string> environment = shareWorldEnvironment(world, nssWrapperLibrary());
  const auto size = fs::file_size(shared);
  std::size_t starts = 0;
  const auto share = [&] {
    const ProcessRun run = timed({KELPWORD_SHARE, shared.string()}, environment);
    if (run.status != 0) throw std::runtime_error("the share failed");
    awaitStandIn(world, ++starts);
    if (fs::file_size(receivedFile(world)) != size) {
      throw std::runtime_error("the share's copy has the wrong size");
    }
    fs::remove_all(inboxOf(world));
    fs::create_directories(inboxOf(world));
    ::sync();
    return run;
  };
  const fs::path copied = world / "cp" / kName;
  fs::create_directories(copied.parent_path());
  const auto copy = [&] {
    const ProcessRun run = timed({"/bin/cp", shared.string(), copied.string()}, environment);
    if (run.status != 0) throw std::runtime_error("cp failed");
    if (fs::file_size(copied) != size) throw std::runtime_error("cp's copy has the wrong size");
    fs::remove(copied);
    ::sync();
    return run;
  };

  std::vector<double> shares, copies, shareCpu, copyCpu;
  long sharePeak = 0, copyPeak = 0;
  for (long round = 1; round <= options.rounds; ++round) {
    ProcessRun ours, theirs;
    if (round % 2 == 1) {
      ours = share();
      theirs = copy();
    } else {
      theirs = copy();
      ours = share();
    }
    std::printf(
        "round %ld: kelpword-share %.3f s (cpu %.3f s, peak %ld KiB), cp %.3f s (cpu %.3f s, "
        "peak %ld KiB)\n",
        round, ours.seconds, ours.cpuSeconds, ours.peakKiB, theirs.seconds, theirs.cpuSeconds,
        theirs.peakKiB);
    shares.push_back(ours.seconds);
    copies.push_back(theirs.seconds);
    shareCpu.push_back(ours.cpuSeconds);
    copyCpu.push_back(theirs.cpuSeconds);
    sharePeak = std::max(sharePeak, ours.peakKiB);
    copyPeak = std::max(copyPeak, theirs.peakKiB);
  }
  const double mebibytes = static_cast<double>(size) / (1024 * 1024);
  std::printf("share of a %.0f MiB recording in the document portal (%ld rounds, medians)\n",
              mebibytes, options.rounds);
  std::printf("  kelpword-share: %.3f s (%.0f MiB/s)   cp: %.3f s (%.0f MiB/s)   ratio %.3f\n",
              median(shares), mebibytes / median(shares), median(copies),
              mebibytes / median(copies), median(shares) / median(copies));
  std::printf("  cpu: kelpword-share %.3f s, cp %.3f s; ratio %.3f\n", median(shareCpu),
              median(copyCpu), median(shareCpu) / median(copyCpu));
  // On a busy machine the fastest round is the one least disturbed by others.
  const double ourBest = *std::min_element(shares.begin(), shares.end());
  const double theirBest = *std::min_element(copies.begin(), copies.end());
  std::printf("  fastest: kelpword-share %.3f s, cp %.3f s; ratio %.3f\n", ourBest, theirBest,
              ourBest / theirBest);
  std::printf("  peak RSS: kelpword-share %.1f MiB, cp %.1f MiB\n",
              static_cast<double>(sharePeak) / 1024, static_cast<double>(copyPeak) / 1024);
}

void run(const fs::path& world, const Options& options) {
  makeShareWorld(world);
  std::optional<testing_support::PrivateBus> bus;
  try {
    bus.emplace(world / "bus");
    addPortal(*bus, world);
    const fs::path recording = world / "app-data" / kName;
    std::printf("writing a %ld MiB recording in %s\n", options.mebibytes, world.c_str());
    writeRecording(recording, options.mebibytes);
    const fs::path shared = exported(*bus, world, recording);
    readWhole(shared);
    ::sync();
    compare(world, shared, options);
  } catch (...) {
    // The portal's mount first: a FUSE mount whose server has gone leaves its folder unusable.
    ::umount2((world / "runtime/doc").c_str(), MNT_DETACH);
    throw;
  }
  ::umount2((world / "runtime/doc").c_str(), MNT_DETACH);
}

}  // namespace
#endif

int runPortalBenchmark(int argc, char** argv) {
#if !defined(KELPWORD_SHARE) || !defined(DOCUMENT_PORTAL_EXPORT)
  (void)argc;
  (void)argv;
  std::fputs("portal benchmark: built without the share extension or the tests' support\n", stderr);
  return 1;
#else
  Options options;
  if (!parseBenchArguments(argc, argv, options.folder,
                           {{"--mib", &options.mebibytes}, {"--rounds", &options.rounds}})) {
    std::fputs("usage: kelpword-bench portal [FOLDER] [--mib N] [--rounds N]\n", stderr);
    return 2;
  }
  if (const auto why = missing()) {
    std::fprintf(stderr, "portal benchmark: %s\n", why->c_str());
    return 1;
  }
  return measureInWorkFolder(options.folder, "portal", [&](const fs::path& work) {
    run(work, options);
    return 0;
  });
#endif
}
