#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace window_test {

// A program started in the background, as a desktop starts it, with standard input a pipe the
// test writes into and closes when it likes; standard output and error go to files.
class RunningShare {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // Starts `argv` with `environment` on top of the test's own, less `unset`; its output files lie
  // in `folder`.
  RunningShare(const std::vector<std::string>& argv, const Environment& environment,
               const std::vector<std::string>& unset, const std::filesystem::path& folder);
  // Kills the program if it still runs.
  ~RunningShare();
  RunningShare(const RunningShare&) = delete;
  RunningShare& operator=(const RunningShare&) = delete;

  pid_t pid() const { return pid_; }
  void write(const std::string& data);
  void closeInput();
  // The exit status (128 + signal for a signal), once the program has ended within `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  std::string output() const;
  std::string errors() const;

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> status_;
  std::filesystem::path out_;
  std::filesystem::path err_;
};

}  // namespace window_test
