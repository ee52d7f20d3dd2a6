#pragma once

#include <filesystem>
#include <string>

#include <sys/types.h>

namespace e2e {

// kelpword-bus-stand-in as a running KelpWord on the bus at `busAddress`: it owns KelpWord's
// name and records each Open call in `record`; `answer` is none, "--fail" or "--silent" (see
// BusStandIn.cpp). Stopped when the object goes.
class BusStandInProcess {
 public:
  BusStandInProcess(const std::string& busAddress, std::filesystem::path record,
                    const char* answer = nullptr);
  ~BusStandInProcess();
  BusStandInProcess(const BusStandInProcess&) = delete;
  BusStandInProcess& operator=(const BusStandInProcess&) = delete;

  // Whether it came to own the name within a few seconds of its start.
  bool ownsTheName() const { return owns_; }

 private:
  pid_t pid_ = -1;
  bool owns_ = false;
};

}  // namespace e2e
