// kelpword-bench copy [FOLDER] [--mib N] [--rounds N] [--copies N]
//
// Copies one large file with copyIn and with cp, alternating, each in a process of its own, and
// prints the time ratio and each one's peak resident memory; copyIn also with its progress read
// a few times a second, as the share's sheet reads it; then times many copies under one
// name into one folder, in this process. The files go into a new folder inside FOLDER (default
// /var/tmp, which is on disk where /tmp may be memory), removed at the end.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "DidedaZiv/AudioIntake.hpp"
#include "bench/BenchArguments.hpp"
#include "bench/Benchmarks.hpp"
#include "bench/ProcessTiming.hpp"
#include "bench/WorkFolder.hpp"
#include "platform/CopyProgress.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string folder = "/var/tmp";
  long mebibytes = 1024;
  long rounds = 4;  // even, so that each goes first as often
  long copies = 1000;
};

platform::Url folderURL(const fs::path& path) {
  return platform::Url::fileURL(path.string(), true);
}
platform::Url fileURL(const fs::path& path) { return platform::Url::fileURL(path.string(), false); }

void writeFile(const fs::path& path, long kibibytes) {
  std::vector<char> block(1024);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (long i = 0; i < kibibytes; ++i) {
    block[static_cast<std::size_t>(i) % block.size()] = static_cast<char>(i);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

double mebibytesOf(long kibibytes) { return static_cast<double>(kibibytes) / 1024; }

long peakOfThisProcessKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int largeFile(const Options& options, const fs::path& folder) {
  const fs::path source = folder / "source.m4a";
  std::printf("writing a %ld MiB source in %s\n", options.mebibytes, folder.c_str());
  writeFile(source, options.mebibytes * 1024);
  ::sync();

  // Each copy is checked, removed and the disk flushed before the next starts, so that every
  // copy starts from the same state and none pays for another's writes or memory. The two take
  // turns at going first.
  const fs::path into = folder / "copies";
  fs::create_directories(into / "cp");
  const auto copyWithCopyIn = [&] {
    const ProcessRun run = timed({"/proc/self/exe", "copy", "--copy-in", source.string(),
                                  (into / "copyIn").string(), "Take.m4a"});
    if (run.status != 0) throw std::runtime_error("copyIn failed");
    if (fs::file_size(into / "copyIn" / "Take.m4a") != fs::file_size(source)) {
      throw std::runtime_error("copyIn's copy has the wrong size");
    }
    fs::remove_all(into / "copyIn");
    ::sync();
    return run;
  };
  const auto copyWithWatchedCopyIn = [&] {
    const ProcessRun run = timed({"/proc/self/exe", "copy", "--copy-in-watched", source.string(),
                                  (into / "watched").string(), "Take.m4a"});
    if (run.status != 0) throw std::runtime_error("watched copyIn failed");
    fs::remove_all(into / "watched");
    ::sync();
    return run;
  };
  const auto copyWithCp = [&] {
    const ProcessRun run = timed({"/bin/cp", source.string(), (into / "cp" / "Take.m4a").string()});
    if (run.status != 0) throw std::runtime_error("cp failed");
    fs::remove(into / "cp" / "Take.m4a");
    ::sync();
    return run;
  };

  std::vector<double> ours, theirs, ourCpu, theirCpu, watched;
  long ourPeak = 0, theirPeak = 0;
  for (long round = 1; round <= options.rounds; ++round) {
    ProcessRun copyIn, cp;
    if (round % 2 == 1) {
      copyIn = copyWithCopyIn();
      cp = copyWithCp();
    } else {
      cp = copyWithCp();
      copyIn = copyWithCopyIn();
    }
    const ProcessRun watchedRun = copyWithWatchedCopyIn();
    watched.push_back(watchedRun.seconds);
    std::printf("round %ld: copyIn with its progress read %.3f s\n", round, watchedRun.seconds);
    std::printf(
        "round %ld: copyIn %.3f s (cpu %.3f s, peak %ld KiB), cp %.3f s (cpu %.3f s, peak %ld "
        "KiB)\n",
        round, copyIn.seconds, copyIn.cpuSeconds, copyIn.peakKiB, cp.seconds, cp.cpuSeconds,
        cp.peakKiB);
    ours.push_back(copyIn.seconds);
    theirs.push_back(cp.seconds);
    ourCpu.push_back(copyIn.cpuSeconds);
    theirCpu.push_back(cp.cpuSeconds);
    ourPeak = std::max(ourPeak, copyIn.peakKiB);
    theirPeak = std::max(theirPeak, cp.peakKiB);
  }
  fs::remove_all(into);
  fs::remove(source);
  std::printf("median: copyIn %.3f s, cp %.3f s; ratio copyIn/cp %.3f (goal <= 1.05)\n",
              median(ours), median(theirs), median(ours) / median(theirs));
  std::printf("median: copyIn with its progress read %.3f s; ratio to copyIn %.3f (goal <= 1.02)\n",
              median(watched), median(watched) / median(ours));
  std::printf("median cpu: copyIn %.3f s, cp %.3f s; ratio copyIn/cp %.3f\n", median(ourCpu),
              median(theirCpu), median(ourCpu) / median(theirCpu));
  // On a busy machine the fastest round is the one least disturbed by others.
  const double ourBest = *std::min_element(ours.begin(), ours.end());
  const double theirBest = *std::min_element(theirs.begin(), theirs.end());
  std::printf("fastest: copyIn %.3f s, cp %.3f s; ratio copyIn/cp %.3f\n", ourBest, theirBest,
              ourBest / theirBest);
  std::printf("peak RSS: copyIn process %.1f MiB (goal < 16 MiB), cp %.1f MiB\n",
              mebibytesOf(ourPeak), mebibytesOf(theirPeak));
  return 0;
}

int manyCopies(const Options& options, const fs::path& folder) {
  const fs::path source = folder / "short.m4a";
  writeFile(source, 64);
  const fs::path into = folder / "one folder";
  const long peakBefore = peakOfThisProcessKiB();
  const auto start = Clock::now();
  platform::Url last = fileURL(source);
  for (long i = 0; i < options.copies; ++i) {
    last = DidedaZiv::AudioIntake::copyIn(fileURL(source), folderURL(into), "Take.m4a");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%ld copies under one name into one folder: %.3f s (%.3f ms each), last \"%s\"\n",
              options.copies, seconds, seconds * 1000 / static_cast<double>(options.copies),
              last.lastPathComponent().c_str());
  std::printf("peak RSS of this process: %.1f MiB before, %.1f MiB after\n",
              mebibytesOf(peakBefore), mebibytesOf(peakOfThisProcessKiB()));
  fs::remove_all(into);
  fs::remove(source);
  return 0;
}

// Reads the copies' progress every `period`, as the share's sheet does, until asked to stop,
// which wakes it at once: the copy's time must not include a last wait.
void watchProgress(const std::stop_token& stop, std::chrono::milliseconds period) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  std::uint64_t seen = 0;
  while (!stop.stop_requested()) {
    seen += platform::copyProgress().completed;
    wake.wait_for(lock, stop, period, [] { return false; });
  }
  if (seen == 1) std::puts("");  // keeps the reads from being optimised away
}

int copyInOnce(int argc, char** argv, bool watched) {
  if (argc != 4) return 2;
  std::jthread watcher;  // asked to stop and joined as the copy returns
  if (watched) watcher = std::jthread(watchProgress, std::chrono::milliseconds(200));
  try {
    DidedaZiv::AudioIntake::copyIn(fileURL(argv[1]), folderURL(argv[2]), argv[3]);
    return 0;
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "copyIn: %s\n", error.what());
    return 1;
  }
}

}  // namespace

int runCopyBenchmark(int argc, char** argv) {
  if (argc >= 1 && std::strcmp(argv[0], "--copy-in") == 0) return copyInOnce(argc, argv, false);
  if (argc >= 1 && std::strcmp(argv[0], "--copy-in-watched") == 0)
    return copyInOnce(argc, argv, true);
  Options options;
  if (!parseBenchArguments(argc, argv, options.folder,
                           {{"--mib", &options.mebibytes},
                            {"--rounds", &options.rounds},
                            {"--copies", &options.copies}})) {
    std::fputs("usage: kelpword-bench copy [FOLDER] [--mib N] [--rounds N] [--copies N]\n", stderr);
    return 2;
  }
  return measureInWorkFolder(options.folder, "copy", [&](const fs::path& folder) {
    int status = largeFile(options, folder);
    if (status == 0) status = manyCopies(options, folder);
    return status;
  });
}
