#include "bench/ShareWorld.hpp"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <unistd.h>

#include "bench/ProcessTiming.hpp"

namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

std::string nssWrapperLibrary() {
  for (const char* candidate :
       {"/usr/lib/x86_64-linux-gnu/libnss_wrapper.so",
        "/usr/lib/aarch64-linux-gnu/libnss_wrapper.so", "/usr/lib/libnss_wrapper.so"}) {
    if (fs::exists(candidate)) return candidate;
  }
  return "";
}

std::vector<std::string> shareWorldEnvironment(const fs::path& world,
                                               const std::string& nssWrapper) {
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

void makeShareWorld(const fs::path& world) {
  fs::create_directories(inboxOf(world));
  fs::create_directories(world / "data-home/applications");
  fs::create_directories(world / "data-dirs");
  writeText(world / "passwd", "sharer:x:" + std::to_string(::getuid()) + ":" +
                                  std::to_string(::getgid()) +
                                  ":Sharer:" + (world / "home").string() + ":/bin/sh\n");
  writeText(world / "group", "");
}

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

double timeShare(const std::string& program, const fs::path& world,
                 const std::vector<std::string>& environment, const std::string& source,
                 std::size_t starts) {
  const ProcessRun run = timed({program, source}, environment);
  if (run.status != 0) throw std::runtime_error("the share failed");
  awaitStandIn(world, starts);
  fs::remove_all(inboxOf(world));
  fs::create_directories(inboxOf(world));
  return run.seconds;
}
