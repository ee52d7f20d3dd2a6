// kelpword-bench sweep [FOLDER] [--rounds N]: sweeps 20,000 old per-share folders, each holding one
// file, with 2,000 kept locations, against `find INBOX -mindepth 1 -maxdepth 1 -exec rm -rf {} +`
// removing the same entries; then the sweep alone with 200 and with 20,000 kept locations.
//
// The trees are made on disk under FOLDER (default /var/tmp). 200 of the kept locations lie inside
// entries, which the sweep spares; the find tree holds only the entries that the sweep removes, so
// both remove exactly the same set. The rest of the kept locations are files elsewhere. Each round
// builds both trees afresh and times the two in alternating order, each after flushing the disk,
// both as elapsed time and as the processor time of the process doing the work: elapsed time on a
// shared disk varies far more than the work done. Whichever goes first is often the slower: the
// default of 4 rounds lets each go first equally often.
//
// System calls per removed one-file folder, counted with `strace -c -f` over 1,000 old one-file
// folders (nothing kept), divided by 1,000:
//   sweep:                  9.1  (statx 1 while listing, then openat 1 for the parent, openat2 1,
//                                 getdents64 2, unlinkat 2, close 2)
//   find … -exec rm -rf:   21.3  (newfstatat 4, fcntl 6, close 4, getdents64 3, openat 2,
//                                 unlinkat 2, and the processes' own start)
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "DidedaZiv/AudioIntake.hpp"
#include "bench/BenchArguments.hpp"
#include "bench/Benchmarks.hpp"
#include "bench/ProcessTiming.hpp"
#include "bench/WorkFolder.hpp"
#include "platform/Url.hpp"
#include "platform/Uuid.hpp"

namespace {

namespace fs = std::filesystem;
constexpr int kEntries = 20'000;
constexpr int kSparedEntries = 200;
constexpr int kKeptForComparison = 2'000;
constexpr double kOlderThan = 3600;

// A per-share folder holding one small recording.
void makeEntry(const fs::path& entry) {
  fs::create_directory(entry);
  std::ofstream(entry / "Interview.m4a", std::ios::binary) << std::string(4096, 'a');
}

std::vector<std::string> newEntryNames() {
  std::vector<std::string> names;
  names.reserve(kEntries);
  for (int i = 0; i < kEntries; ++i) names.push_back(platform::newUuidString());
  return names;
}

// The first kSparedEntries names hold a kept file; the sweep removes the others.
void makeSweepTree(const fs::path& inbox, const std::vector<std::string>& names) {
  fs::create_directory(inbox);
  for (const auto& name : names) makeEntry(inbox / name);
}

void makeFindTree(const fs::path& inbox, const std::vector<std::string>& names) {
  fs::create_directory(inbox);
  for (auto name = names.begin() + kSparedEntries; name != names.end(); ++name) {
    makeEntry(inbox / *name);
  }
}

// `count` kept locations: the recordings of the spared entries, then files elsewhere.
std::vector<platform::Url> keptLocations(const fs::path& inbox,
                                         const std::vector<std::string>& names,
                                         const fs::path& elsewhere, int count) {
  std::vector<platform::Url> kept;
  for (int i = 0; i < std::min(count, kSparedEntries); ++i) {
    kept.push_back(platform::Url::fileURL((inbox / names[i] / "Interview.m4a").string(), false));
  }
  fs::create_directories(elsewhere);
  for (int i = kSparedEntries; i < count; ++i) {
    const fs::path file = elsewhere / ("Kept " + std::to_string(i) + ".m4a");
    if (!fs::exists(file)) std::ofstream(file) << "kept";
    kept.push_back(platform::Url::fileURL(file.string(), false));
  }
  return kept;
}

struct Cost {
  double wall = 0;  // seconds
  double cpu = 0;   // user and system seconds of the process doing the work
};

double cpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const struct timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Times `work` in this process, with the disk flushed first so that neither side pays for what
// came before.
template <class Work>
Cost measure(Work work) {
  ::sync();
  const double cpuBefore = cpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  work();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {wall, cpuSeconds() - cpuBefore};
}

Cost timeSweep(const fs::path& inbox, const std::vector<platform::Url>& kept) {
  const auto now = std::chrono::system_clock::now() + std::chrono::hours(24);
  return measure([&] {
    DidedaZiv::AudioIntake::sweep(platform::Url::fileURL(inbox.string(), true), kOlderThan, kept,
                                  now);
  });
}

// find and the rm processes it starts: their time, and their processor time as the kernel counts
// it for find once it has waited for them.
Cost timeFind(const fs::path& inbox) {
  ::sync();
  const ProcessRun run = timed({"/usr/bin/find", inbox.string(), "-mindepth", "1", "-maxdepth", "1",
                                "-exec", "rm", "-rf", "{}", "+"});
  if (run.status != 0) throw std::runtime_error("find … -exec rm -rf failed");
  return {run.seconds, run.cpuSeconds};
}

std::size_t entriesIn(const fs::path& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

void expectEntries(const fs::path& folder, std::size_t expected, const char* who) {
  const std::size_t left = entriesIn(folder);
  if (left != expected) {
    throw std::runtime_error(std::string(who) + " left " + std::to_string(left) +
                             " entries instead of " + std::to_string(expected));
  }
}

void compareWithFind(const fs::path& work, long rounds) {
  std::printf(
      "sweep of %d old per-share folders (one file each), %d kept locations, %d of them "
      "inside entries;\nfind … -exec rm -rf {} + removing the same %d entries\n",
      kEntries, kKeptForComparison, kSparedEntries, kEntries - kSparedEntries);
  std::vector<double> wallRatios;
  std::vector<double> cpuRatios;
  for (long round = 0; round < rounds; ++round) {
    const auto names = newEntryNames();
    const fs::path sweepInbox = work / "sweep inbox";
    const fs::path findInbox = work / "find inbox";
    makeSweepTree(sweepInbox, names);
    makeFindTree(findInbox, names);
    const auto kept = keptLocations(sweepInbox, names, work / "elsewhere", kKeptForComparison);

    Cost sweepCost;
    Cost findCost;
    if (round % 2 == 0) {
      sweepCost = timeSweep(sweepInbox, kept);
      findCost = timeFind(findInbox);
    } else {
      findCost = timeFind(findInbox);
      sweepCost = timeSweep(sweepInbox, kept);
    }
    expectEntries(sweepInbox, kSparedEntries, "the sweep");
    expectEntries(findInbox, 0, "find");
    fs::remove_all(sweepInbox);
    fs::remove_all(findInbox);

    wallRatios.push_back(sweepCost.wall / findCost.wall);
    cpuRatios.push_back(sweepCost.cpu / findCost.cpu);
    std::printf(
        "  round %ld (%s first): sweep %.3f s (cpu %.3f s), find+rm %.3f s (cpu %.3f s), "
        "ratio %.3f (cpu %.3f)\n",
        round + 1, round % 2 == 0 ? "sweep" : "find", sweepCost.wall, sweepCost.cpu, findCost.wall,
        findCost.cpu, wallRatios.back(), cpuRatios.back());
  }
  std::printf("median ratio sweep / find+rm: %.3f elapsed, %.3f cpu (goal <= 1.0)\n",
              median(wallRatios), median(cpuRatios));
}

void growthWithKeptLocations(const fs::path& work) {
  std::printf("\nsweep by the number of kept locations (%d entries, %d spared, same removals)\n",
              kEntries, kSparedEntries);
  for (const int count : {200, 2'000, 20'000}) {
    const auto names = newEntryNames();
    const fs::path inbox = work / "growth inbox";
    makeSweepTree(inbox, names);
    const auto kept = keptLocations(inbox, names, work / "elsewhere", count);
    const Cost cost = timeSweep(inbox, kept);
    expectEntries(inbox, kSparedEntries, "the sweep");
    fs::remove_all(inbox);
    std::printf("  %6d kept: %.3f s (cpu %.3f s)\n", count, cost.wall, cost.cpu);
  }
}

}  // namespace

int runSweepBenchmark(int argc, char** argv) {
  std::string folder = "/var/tmp";
  long rounds = 4;
  if (!parseBenchArguments(argc, argv, folder, {{"--rounds", &rounds}})) {
    std::fputs("usage: kelpword-bench sweep [FOLDER] [--rounds N]\n", stderr);
    return 2;
  }
  return measureInWorkFolder(folder, "sweep", [&](const fs::path& work) {
    std::printf("trees under %s\n", work.c_str());
    compareWithFind(work, rounds);
    growthWithKeptLocations(work);
    return 0;
  });
}
