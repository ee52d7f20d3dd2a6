#include "tests/e2e/BusStandInProcess.hpp"

#include <chrono>
#include <csignal>

#include <unistd.h>

#include "tests/support/Subprocess.hpp"
#include "tests/support/WaitUntil.hpp"

namespace e2e {

namespace fs = std::filesystem;

BusStandInProcess::BusStandInProcess(const std::string& busAddress, fs::path record,
                                     const char* answer) {
  pid_ = ::fork();
  if (pid_ == 0) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the forked child has one thread
    ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
    ::execl(KELPWORD_BUS_STAND_IN, KELPWORD_BUS_STAND_IN, record.c_str(), answer, nullptr);
    ::_exit(127);
  }
  const fs::path ready = record.string() + ".ready";
  owns_ = pid_ > 0 &&
          testing_support::waitUntil([&] { return fs::exists(ready); }, std::chrono::seconds(20));
}

BusStandInProcess::~BusStandInProcess() {
  if (pid_ > 0) testing_support::endChild(pid_, SIGTERM);
}

}  // namespace e2e
