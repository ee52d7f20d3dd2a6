// kelpword-bench share [FOLDER] [--rounds N]
//
// kelpword-share sharing one small file (4 KiB) with no display named, from start to exit, against
// cp of the same file, each in a process of its own, taking turns at going first; then
// `kelpword-share --help` alone, the cost of starting the program. The share runs in a world made
// inside a new folder in FOLDER (default /var/tmp): a home read through nss_wrapper (never the real
// one) holding KelpWord's inbox, and the demonstration bundle's stand-in KelpWord, which records
// what it is asked to open. The share's time includes loading nss_wrapper.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchArguments.hpp"
#include "bench/Benchmarks.hpp"
#include "bench/ProcessTiming.hpp"
#include "bench/ShareWorld.hpp"
#include "bench/WorkFolder.hpp"

#ifdef KELPWORD_SHARE
namespace {

namespace fs = std::filesystem;

struct Options {
  std::string folder = "/var/tmp";
  long rounds = 21;
};

void makeWorld(const fs::path& world) {
  makeShareWorld(world);
  std::ofstream(world / "Interview.m4a", std::ios::binary) << std::string(4096, 'a');
}

void compare(const fs::path& world, const Options& options) {
  const std::vector<std::string> environment = shareWorldEnvironment(world, nssWrapperLibrary());
  const std::string source = (world / "Interview.m4a").string();
  std::vector<double> shares;
  std::vector<double> copies;
  std::vector<double> helps;
  std::size_t starts = 0;
  const auto share = [&] {
    shares.push_back(timeShare(KELPWORD_SHARE, world, environment, source, ++starts));
  };
  const auto copy = [&] {
    const ProcessRun run = timed({"/bin/cp", source, (world / "copy.m4a").string()}, environment);
    if (run.status != 0) throw std::runtime_error("cp failed");
    fs::remove(world / "copy.m4a");
    copies.push_back(run.seconds);
  };
  for (long round = 0; round < options.rounds; ++round) {
    if (round % 2 == 0) {
      share();
      copy();
    } else {
      copy();
      share();
    }
    helps.push_back(timed({KELPWORD_SHARE, "--help"}, environment).seconds);
  }
  std::printf(
      "share of one 4 KiB file, no display (%ld rounds, medians)\n"
      "  kelpword-share: %.2f ms   cp: %.2f ms   ratio %.2f (goal <= 4)\n"
      "  kelpword-share --help alone: %.2f ms\n",
      options.rounds, median(shares) * 1e3, median(copies) * 1e3, median(shares) / median(copies),
      median(helps) * 1e3);
}

}  // namespace
#endif

int runShareBenchmark(int argc, char** argv) {
#ifndef KELPWORD_SHARE
  (void)argc;
  (void)argv;
  std::fputs("share benchmark: built without the share extension\n", stderr);
  return 1;
#else
  Options options;
  if (!parseBenchArguments(argc, argv, options.folder, {{"--rounds", &options.rounds}})) {
    std::fputs("usage: kelpword-bench share [FOLDER] [--rounds N]\n", stderr);
    return 2;
  }
  if (nssWrapperLibrary().empty()) {
    std::fputs("share benchmark: nss_wrapper is not installed (Debian: libnss-wrapper)\n", stderr);
    return 1;
  }
  return measureInWorkFolder(options.folder, "share", [&](const fs::path& world) {
    makeWorld(world);
    compare(world, options);
    return 0;
  });
#endif
}
