// kelpword-bench share [FOLDER] [--rounds N]
//
// kelpword-share sharing one small file (4 KiB) with no display named, from start to exit, against
// cp of the same file, each in a process of its own, taking turns at going first; then
// `kelpword-share --help` alone, the cost of starting the program. The share runs in a world made
// inside a new folder in FOLDER (default /var/tmp): a home read through nss_wrapper (never the real
// one) holding KelpWord's inbox, and the demonstration bundle's stand-in KelpWord, which records
// what it is asked to open. The share's time includes loading nss_wrapper.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "bench/BenchArguments.hpp"
#include "bench/Benchmarks.hpp"
#include "bench/ProcessTiming.hpp"
#include "bench/WorkFolder.hpp"

#ifdef KELPWORD_SHARE
namespace {

namespace fs = std::filesystem;

struct Options {
  std::string folder = "/var/tmp";
  long rounds = 21;
};

std::string nssWrapperLibrary() {
  for (const char* candidate :
       {"/usr/lib/x86_64-linux-gnu/libnss_wrapper.so",
        "/usr/lib/aarch64-linux-gnu/libnss_wrapper.so", "/usr/lib/libnss_wrapper.so"}) {
    if (fs::exists(candidate)) return candidate;
  }
  return "";
}

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The environment of every run: PATH alone from ours, no display, the world's home and folders.
std::vector<std::string> worldEnvironment(const fs::path& world, const std::string& nssWrapper) {
  std::vector<std::string> environment;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts
  if (const char* path = std::getenv("PATH")) environment.push_back(std::string("PATH=") + path);
  environment.push_back("LD_PRELOAD=" + nssWrapper);
  environment.push_back("NSS_WRAPPER_PASSWD=" + (world / "passwd").string());
  environment.push_back("NSS_WRAPPER_GROUP=" + (world / "group").string());
  environment.push_back("HOME=" + (world / "not-the-home").string());
  environment.push_back("XDG_DATA_HOME=" + (world / "data-home").string());
  environment.push_back("XDG_DATA_DIRS=" + (world / "data-dirs").string());
  environment.push_back("KELPWORD_STAND_IN_RECORD=" + (world / "opened.txt").string());
  environment.push_back("TMPDIR=" + world.string());
  return environment;
}

fs::path inboxOf(const fs::path& world) {
  return world / "home/Library/Application Support/com.brenvik.kelpword/Received Files";
}

void makeWorld(const fs::path& world) {
  fs::create_directories(inboxOf(world));
  fs::create_directories(world / "data-home/applications");
  fs::create_directories(world / "data-dirs");
  writeText(world / "passwd", "sharer:x:" + std::to_string(::getuid()) + ":" +
                                  std::to_string(::getgid()) +
                                  ":Sharer:" + (world / "home").string() + ":/bin/sh\n");
  writeText(world / "group", "");
  writeText(world / "Interview.m4a", std::string(4096, 'a'));
}

// Waits (untimed) until the stand-in KelpWord of the last share has recorded its start, so that
// it has come and gone before the next run.
void awaitStandIn(const fs::path& world, std::size_t starts) {
  for (int tries = 0; tries < 500; ++tries) {
    std::ifstream record(world / "opened.txt");
    std::size_t recorded = 0;
    for (std::string line; std::getline(record, line);) recorded += line.starts_with("program: ");
    if (recorded >= starts) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

void compare(const fs::path& world, const Options& options) {
  const std::vector<std::string> environment = worldEnvironment(world, nssWrapperLibrary());
  const std::string source = (world / "Interview.m4a").string();
  std::vector<double> shares;
  std::vector<double> copies;
  std::vector<double> helps;
  std::size_t starts = 0;
  const auto share = [&] {
    const ProcessRun run = timed({KELPWORD_SHARE, source}, environment);
    if (run.status != 0) throw std::runtime_error("the share failed");
    awaitStandIn(world, ++starts);
    fs::remove_all(inboxOf(world));
    fs::create_directories(inboxOf(world));
    shares.push_back(run.seconds);
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
  const auto made = makeWorkFolder(options.folder, "kelpword-share-bench");
  if (!made) return 1;
  const fs::path& world = *made;
  int status = 0;
  try {
    makeWorld(world);
    compare(world, options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "share benchmark: %s\n", error.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(world, ignored);
  return status;
#endif
}
