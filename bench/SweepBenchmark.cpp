// kelpword-bench sweep [FOLDER] [ROUNDS]: sweeps 20,000 old per-share folders, each holding one
// file, with 2,000 kept locations, against `find INBOX -mindepth 1 -maxdepth 1 -exec rm -rf {} +`
// removing the same entries; then the sweep alone with 200 and with 20,000 kept locations.
//
// The trees are made on disk under FOLDER (default /var/tmp). 200 of the kept locations lie inside
// entries, which the sweep spares; the find tree holds only the entries that the sweep removes, so
// both remove exactly the same set. The rest of the kept locations are files elsewhere. Each round
// builds both trees afresh and times the two in alternating order, each after flushing the disk,
// both as elapsed time and as the processor time of the process doing the work: elapsed time on a
// shared disk varies far more than the work done.
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

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DidedaZiv/AudioIntake.hpp"
#include "bench/Benchmarks.hpp"
#include "platform/Url.hpp"
#include "platform/Uuid.hpp"

extern char** environ;

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

fs::path makeWorkFolder(const fs::path& under) {
  std::string pattern = (under / "kelpword-sweep-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp under " + under.string());
  }
  return pattern;
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

double cpuSeconds(int who) {
  struct rusage usage {};
  ::getrusage(who, &usage);
  const auto seconds = [](const struct timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Times `work`, with the disk flushed first so that neither side pays for what came before.
template <class Work>
Cost measure(int who, Work work) {
  ::sync();
  const double cpuBefore = cpuSeconds(who);
  const auto start = std::chrono::steady_clock::now();
  work();
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {wall, cpuSeconds(who) - cpuBefore};
}

Cost timeSweep(const fs::path& inbox, const std::vector<platform::Url>& kept) {
  const auto now = std::chrono::system_clock::now() + std::chrono::hours(24);
  return measure(RUSAGE_SELF, [&] {
    DidedaZiv::AudioIntake::sweep(platform::Url::fileURL(inbox.string(), true), kOlderThan, kept,
                                  now);
  });
}

void runFind(const fs::path& inbox) {
  const std::string folder = inbox.string();
  const char* argv[] = {"find",  folder.c_str(), "-mindepth", "1",  "-maxdepth", "1",
                        "-exec", "rm",           "-rf",       "{}", "+",         nullptr};
  pid_t pid = 0;
  const int spawned =
      ::posix_spawnp(&pid, "find", nullptr, nullptr, const_cast<char* const*>(argv), environ);
  if (spawned != 0) throw std::system_error(spawned, std::generic_category(), "posix_spawnp find");
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("find … -exec rm -rf failed");
  }
}

// find and the rm processes it starts count as the benchmark's children once waited for.
Cost timeFind(const fs::path& inbox) {
  return measure(RUSAGE_CHILDREN, [&] { runFind(inbox); });
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

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void compareWithFind(const fs::path& work, int rounds) {
  std::printf(
      "sweep of %d old per-share folders (one file each), %d kept locations, %d of them "
      "inside entries;\nfind … -exec rm -rf {} + removing the same %d entries\n",
      kEntries, kKeptForComparison, kSparedEntries, kEntries - kSparedEntries);
  std::vector<double> wallRatios;
  std::vector<double> cpuRatios;
  for (int round = 0; round < rounds; ++round) {
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
        "  round %d (%s first): sweep %.3f s (cpu %.3f s), find+rm %.3f s (cpu %.3f s), "
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
  const fs::path under = argc > 0 ? argv[0] : "/var/tmp";
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  try {
    const fs::path work = makeWorkFolder(under);
    std::printf("trees under %s\n", work.c_str());
    try {
      compareWithFind(work, rounds);
      growthWithKeptLocations(work);
    } catch (...) {
      fs::remove_all(work);
      throw;
    }
    fs::remove_all(work);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "sweep benchmark: %s\n", error.what());
    return 1;
  }
}
