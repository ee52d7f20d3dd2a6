// kelpword-bench naming [FOLDER] [--rounds N]: imports many items that all bear one name
// ("Take.m4a", one small file offered by location again and again) into one folder with
// AudioIntake::files(…, copyFileURLs=true), 100 of them and then 10,000, and compares the cost
// per item: naming should take the same time per item however many items share the name.
//
// Each round imports both counts into fresh folders under FOLDER (default /var/tmp), the larger
// first in every other round; the medians count.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
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

constexpr std::size_t fewItems = 100;
constexpr std::size_t manyItems = 10'000;

// Seconds per item for importing `count` copies of `source` into the new folder `into`.
double secondsPerItem(const fs::path& source, std::size_t count, const fs::path& into) {
  ::sync();  // earlier rounds' writes are not this one's cost
  const auto start = Clock::now();
  std::vector<std::shared_ptr<platform::ItemProvider>> providers;
  providers.reserve(count);
  const auto url = platform::Url::fileURL(source.string(), false);
  for (std::size_t i = 0; i < count; ++i) providers.push_back(platform::ItemProvider::forFile(url));
  const auto outcomes = platform::runMain(DidedaZiv::AudioIntake::files(
      std::move(providers), platform::Url::fileURL(into.string(), true), /*copyFileURLs=*/true));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const auto received = std::count_if(outcomes.begin(), outcomes.end(),
                                      [](const auto& outcome) { return outcome.fileURL(); });
  if (static_cast<std::size_t>(received) != count || !fs::exists(into / "Take 2.m4a")) {
    throw std::runtime_error("the import did not receive every item");
  }
  return elapsed / static_cast<double>(count);
}

void compare(const fs::path& work, long rounds) {
  const fs::path source = work / "Take.m4a";
  std::ofstream(source, std::ios::binary) << std::string(4096, 't');
  std::vector<double> few;
  std::vector<double> many;
  for (long round = 0; round < rounds; ++round) {
    const auto fewInto = work / ("few " + std::to_string(round));
    const auto manyInto = work / ("many " + std::to_string(round));
    for (int turn = 0; turn < 2; ++turn) {
      if ((round + turn) % 2 == 0) {
        many.push_back(secondsPerItem(source, manyItems, manyInto));
      } else {
        few.push_back(secondsPerItem(source, fewItems, fewInto));
      }
    }
    fs::remove_all(fewInto);
    fs::remove_all(manyInto);
    std::printf("round %ld: %zu items %.1f us each, %zu items %.1f us each\n", round + 1, fewItems,
                few.back() * 1e6, manyItems, many.back() * 1e6);
  }
  const double fewTime = median(few);
  const double manyTime = median(many);
  std::printf("items of one name imported into one folder, %ld rounds (medians)\n", rounds);
  std::printf(
      "%zu items: %.1f us per item   %zu items: %.1f us per item   ratio: %.2f (goal <= 2)\n",
      fewItems, fewTime * 1e6, manyItems, manyTime * 1e6, manyTime / fewTime);
}

}  // namespace

int runNamingBenchmark(int argc, char** argv) {
  std::string folder = "/var/tmp";
  long rounds = 3;
  if (!parseBenchArguments(argc, argv, folder, {{"--rounds", &rounds}})) {
    std::fputs("usage: kelpword-bench naming [FOLDER] [--rounds N]\n", stderr);
    return 2;
  }
  return measureInWorkFolder(folder, "naming", [&](const fs::path& work) {
    compare(work, rounds);
    return 0;
  });
}
