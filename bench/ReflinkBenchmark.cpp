// kelpword-bench reflink [FOLDER] [--mib N] [--rounds N]
//
// copyIn of one large file (1 GiB, all of it written) on file systems that share extents between
// files, against cp, which clones too where it can. Each file system is made afresh (mkfs.xfs -m
// reflink=1, mkfs.btrfs) in a sparse image file inside a new folder in FOLDER (default /var/tmp)
// and loop-mounted there; both are gone at the end. Needs root, the mkfs tools and a free loop
// device; a file system that cannot be made is reported and left out. One row per file system:
// the median times of the two, each in a process of its own, taking turns at going first; their
// ratio; and the space a copy took from the file system (a clone takes none).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "bench/BenchArguments.hpp"
#include "bench/Benchmarks.hpp"
#include "bench/ProcessTiming.hpp"
#include "bench/WorkFolder.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr long kMebibyte = 1024L * 1024;

struct Options {
  std::string folder = "/var/tmp";
  long mebibytes = 1024;
  long rounds = 5;
};

struct FileSystem {
  const char* type;
  std::vector<std::string> mkfs;
};

// The folder's file system, written out: what follows starts from the disk, not from memory.
void flush(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::syncfs(fd);
  ::close(fd);
}

double freeMebibytes(const fs::path& folder) {
  struct statvfs status {};
  if (::statvfs(folder.c_str(), &status) != 0) return 0;
  return static_cast<double>(status.f_bfree) * static_cast<double>(status.f_frsize) / kMebibyte;
}

void writeSource(const fs::path& path, long mebibytes) {
  std::vector<char> block(kMebibyte);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (long i = 0; i < mebibytes; ++i) {
    std::fill(block.begin(), block.end(), static_cast<char>('a' + i % 26));
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

// This process's environment, for tools whose chatter stays out of the table.
std::vector<std::string> ourEnvironment() {
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable)
    variables.emplace_back(*variable);
  return variables;
}

// Makes and mounts the file system at `at`; false, with why, where this machine cannot.
bool mountFresh(const FileSystem& system, const fs::path& image, const fs::path& at,
                std::string& why) {
  std::ofstream(image, std::ios::binary | std::ios::trunc).close();
  fs::resize_file(image, 3UL << 30);
  std::vector<std::string> mkfs{"/usr/sbin/mkfs." + std::string(system.type)};
  mkfs.insert(mkfs.end(), system.mkfs.begin(), system.mkfs.end());
  mkfs.push_back(image.string());
  if (timed(mkfs, ourEnvironment()).status != 0) {
    why = "mkfs." + std::string(system.type) + " failed or is missing";
    return false;
  }
  fs::create_directories(at);
  if (timed({"/bin/mount", "-t", system.type, "-o", "loop", image.string(), at.string()},
            ourEnvironment())
          .status != 0) {
    why = "cannot loop-mount it";
    return false;
  }
  return true;
}

void compareOn(const FileSystem& system, const fs::path& work, const Options& options) {
  const fs::path image = work / (std::string(system.type) + ".img");
  const fs::path root = work / system.type;
  std::string why;
  if (!mountFresh(system, image, root, why)) {
    std::printf("%-6s not measured: %s\n", system.type, why.c_str());
    fs::remove(image);
    return;
  }
  try {
    const fs::path source = root / "source.m4a";
    writeSource(source, options.mebibytes);
    flush(root);
    const auto copyWithCopyIn = [&](double& spaceMebibytes) {
      const double freeBefore = freeMebibytes(root);
      const ProcessRun run = timed({"/proc/self/exe", "copy", "--copy-in", source.string(),
                                    (root / "copyIn").string(), "Take.m4a"});
      if (run.status != 0 || fs::file_size(root / "copyIn" / "Take.m4a") != fs::file_size(source)) {
        throw std::runtime_error("copyIn failed");
      }
      flush(root);
      spaceMebibytes = std::max(spaceMebibytes, freeBefore - freeMebibytes(root));
      fs::remove_all(root / "copyIn");
      flush(root);
      return run.seconds;
    };
    const auto copyWithCp = [&] {
      const ProcessRun run = timed({"/bin/cp", source.string(), (root / "cp.m4a").string()});
      if (run.status != 0) throw std::runtime_error("cp failed");
      fs::remove(root / "cp.m4a");
      flush(root);
      return run.seconds;
    };
    std::vector<double> ours;
    std::vector<double> theirs;
    double spaceMebibytes = 0;
    for (long round = 0; round < options.rounds; ++round) {
      if (round % 2 == 0) {
        ours.push_back(copyWithCopyIn(spaceMebibytes));
        theirs.push_back(copyWithCp());
      } else {
        theirs.push_back(copyWithCp());
        ours.push_back(copyWithCopyIn(spaceMebibytes));
      }
    }
    std::printf(
        "%-6s copyIn %8.2f ms   cp %8.2f ms   ratio %5.2f   space taken by a copy %.1f MiB\n",
        system.type, median(ours) * 1e3, median(theirs) * 1e3, median(ours) / median(theirs),
        spaceMebibytes);
  } catch (...) {
    ::umount2(root.c_str(), MNT_DETACH);
    fs::remove(image);
    throw;
  }
  ::umount2(root.c_str(), MNT_DETACH);
  fs::remove(image);
}

}  // namespace

int runReflinkBenchmark(int argc, char** argv) {
  Options options;
  if (!parseBenchArguments(argc, argv, options.folder,
                           {{"--mib", &options.mebibytes}, {"--rounds", &options.rounds}})) {
    std::fputs("usage: kelpword-bench reflink [FOLDER] [--mib N] [--rounds N]\n", stderr);
    return 2;
  }
  return measureInWorkFolder(options.folder, "reflink", [&](const fs::path& work) {
    const FileSystem systems[] = {{"xfs", {"-q", "-m", "reflink=1"}}, {"btrfs", {"-q"}}};
    std::printf(
        "copyIn of a %ld MiB file against cp, on file systems that share extents (%ld rounds)\n",
        options.mebibytes, options.rounds);
    for (const auto& system : systems) compareOn(system, work, options);
    return 0;
  });
}
