// kelpword-bench window [FOLDER] [--rounds N]
//
// kelpword-share sharing one small file (4 KiB) on the display that DISPLAY or WAYLAND_DISPLAY
// names, its sheet shown as a window, from start to exit, against the least GTK 4 program that
// shows a like window and draws its first frame (kelpword-bench-bare-window), each in a process
// of its own, taking turns at going first. Both draw with cairo and run in the share's world
// (ShareWorld.hpp) with the display added; run it under xvfb-run where there is no desktop.
#include <cstdio>
#include <cstdlib>
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

#if defined(KELPWORD_SHARE) && defined(BARE_GTK_WINDOW)
namespace {

namespace fs = std::filesystem;

struct Options {
  std::string folder = "/var/tmp";
  long rounds = 21;
};

// The display variables of ours, "NAME=value" each; none where no display is named.
std::vector<std::string> displayEnvironment() {
  std::vector<std::string> named;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "XAUTHORITY"}) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): no thread runs yet
    if (value != nullptr && *value != '\0') named.push_back(std::string(name) + "=" + value);
  }
  return named;
}

void compare(const fs::path& world, const Options& options) {
  std::vector<std::string> environment = shareWorldEnvironment(world, nssWrapperLibrary());
  for (auto& variable : displayEnvironment()) environment.push_back(variable);
  environment.emplace_back("GSK_RENDERER=cairo");
  const std::string source = (world / "Interview.m4a").string();
  std::vector<double> shares;
  std::vector<double> windows;
  std::size_t starts = 0;
  const auto share = [&] {
    shares.push_back(timeShare(KELPWORD_SHARE, world, environment, source, ++starts));
  };
  const auto window = [&] {
    const ProcessRun run = timed({BARE_GTK_WINDOW}, environment);
    if (run.status != 0) throw std::runtime_error("the bare window could not open the display");
    windows.push_back(run.seconds);
  };
  for (long round = 0; round < options.rounds; ++round) {
    if (round % 2 == 0) {
      share();
      window();
    } else {
      window();
      share();
    }
  }
  std::printf(
      "share of one 4 KiB file with its window (%ld rounds, medians)\n"
      "  kelpword-share: %.2f ms   bare GTK 4 window to its first frame: %.2f ms   ratio %.2f "
      "(goal <= 1.1)\n",
      options.rounds, median(shares) * 1e3, median(windows) * 1e3,
      median(shares) / median(windows));
}

}  // namespace
#endif

int runWindowBenchmark(int argc, char** argv) {
#if !defined(KELPWORD_SHARE) || !defined(BARE_GTK_WINDOW)
  (void)argc;
  (void)argv;
  std::fputs("window benchmark: built without the share extension's window\n", stderr);
  return 1;
#else
  Options options;
  if (!parseBenchArguments(argc, argv, options.folder, {{"--rounds", &options.rounds}})) {
    std::fputs("usage: kelpword-bench window [FOLDER] [--rounds N]\n", stderr);
    return 2;
  }
  if (displayEnvironment().empty()) {
    std::fputs("window benchmark: no display is named (run it under xvfb-run)\n", stderr);
    return 1;
  }
  if (nssWrapperLibrary().empty()) {
    std::fputs("window benchmark: nss_wrapper is not installed (Debian: libnss-wrapper)\n", stderr);
    return 1;
  }
  return measureInWorkFolder(options.folder, "window", [&](const fs::path& world) {
    makeShareWorld(world);
    std::ofstream(world / "Interview.m4a", std::ios::binary) << std::string(4096, 'a');
    compare(world, options);
    return 0;
  });
#endif
}
