// kelpword-bench import [FOLDER] [--rounds N]: imports 2,000 small files offered by location
// (ItemProvider::forFile) into one folder with AudioIntake::files(…, copyFileURLs=true), against
// one `cp -- FILE… FOLDER` call copying the same files; prints the time ratio and the import's
// overhead per item.
//
// The files (4 KiB each) are made once under FOLDER (default /var/tmp). Each round times both
// into fresh folders, in alternating order, after flushing earlier writes; the medians count.
// The import's time includes making the providers, as a share would.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "DidedaZiv/AudioIntake.hpp"
#include "bench/BenchArguments.hpp"
#include "bench/Benchmarks.hpp"
#include "bench/ProcessTiming.hpp"
#include "bench/WorkFolder.hpp"
#include "platform/ItemProvider.hpp"
#include "platform/MainThread.hpp"
#include "platform/Url.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 2'000;
constexpr std::size_t kFileSize = 4096;

std::vector<fs::path> makeSources(const fs::path& folder) {
  fs::create_directory(folder);
  std::vector<fs::path> files;
  files.reserve(kFiles);
  for (int i = 0; i < kFiles; ++i) {
    files.push_back(folder / ("Recording " + std::to_string(i) + ".m4a"));
    std::ofstream(files.back(), std::ios::binary)
        << std::string(kFileSize, static_cast<char>('a' + i % 26));
  }
  return files;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double timeImport(const std::vector<fs::path>& sources, const fs::path& into) {
  const auto start = Clock::now();
  std::vector<std::shared_ptr<platform::ItemProvider>> providers;
  providers.reserve(sources.size());
  for (const auto& source : sources) {
    providers.push_back(
        platform::ItemProvider::forFile(platform::Url::fileURL(source.string(), false)));
  }
  const auto outcomes = platform::runMain(DidedaZiv::AudioIntake::files(
      std::move(providers), platform::Url::fileURL(into.string(), true), /*copyFileURLs=*/true));
  const double elapsed = secondsSince(start);

  const auto received = std::count_if(outcomes.begin(), outcomes.end(), [](const auto& outcome) {
    return outcome.fileURL() != nullptr;
  });
  if (received != kFiles) throw std::runtime_error("the import did not receive every file");
  return elapsed;
}

double timeCp(const std::vector<fs::path>& sources, const fs::path& into) {
  fs::create_directory(into);
  std::vector<std::string> argv = {"/bin/cp", "--"};
  for (const auto& source : sources) argv.push_back(source.string());
  argv.push_back(into.string() + "/");
  const ProcessRun run = timed(argv);
  if (run.status != 0) throw std::runtime_error("cp failed");
  return run.seconds;
}

void compare(const fs::path& work, long rounds) {
  const auto sources = makeSources(work / "sources");
  std::vector<double> importTimes;
  std::vector<double> cpTimes;
  for (long round = 0; round < rounds; ++round) {
    const auto importInto = work / ("import " + std::to_string(round));
    const auto cpInto = work / ("cp " + std::to_string(round));
    for (int turn = 0; turn < 2; ++turn) {
      ::sync();  // earlier rounds' writes are not this one's cost
      if ((round + turn) % 2 == 0) {
        importTimes.push_back(timeImport(sources, importInto));
      } else {
        cpTimes.push_back(timeCp(sources, cpInto));
      }
    }
    fs::remove_all(importInto);
    fs::remove_all(cpInto);
    std::printf("round %ld: import %.1f ms, cp %.1f ms\n", round + 1, importTimes.back() * 1e3,
                cpTimes.back() * 1e3);
  }

  const double importTime = median(importTimes);
  const double cpTime = median(cpTimes);
  std::printf("%d files of %zu bytes offered by location, %ld rounds (medians)\n", kFiles,
              kFileSize, rounds);
  std::printf("import: %.1f ms   cp: %.1f ms   ratio: %.2f (goal <= 2)\n", importTime * 1e3,
              cpTime * 1e3, importTime / cpTime);
  std::printf("overhead per item over cp: %.1f us (import %.1f us per item, cp %.1f us)\n",
              (importTime - cpTime) / kFiles * 1e6, importTime / kFiles * 1e6,
              cpTime / kFiles * 1e6);
}

}  // namespace

int runImportBenchmark(int argc, char** argv) {
  std::string folder = "/var/tmp";
  long rounds = 5;
  if (!parseBenchArguments(argc, argv, folder, {{"--rounds", &rounds}})) {
    std::fputs("usage: kelpword-bench import [FOLDER] [--rounds N]\n", stderr);
    return 2;
  }
  return measureInWorkFolder(folder, "import", [&](const fs::path& work) {
    compare(work, rounds);
    return 0;
  });
}
