#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Subprocess.hpp"

namespace e2e {

// kelpword-share running in a process group of its own, as a terminal starts a job, without a
// display, its standard input, output and error pipes held by the test: it waits for its input as
// long as the test likes.
class LiveShare {
 public:
  // Starts kelpword-share with `arguments` and `environment` on top of the test's own. Throws
  // std::system_error where it cannot.
  LiveShare(const std::vector<std::string>& arguments,
            const std::vector<std::pair<std::string, std::string>>& environment);
  // Kills the group if the share has not been seen to end.
  ~LiveShare();
  LiveShare(const LiveShare&) = delete;
  LiveShare& operator=(const LiveShare&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  void write(const std::string& data) const;
  void closeInput();

  // Standard output so far, read until it holds `text` or `patience` has passed.
  const std::string& readUntil(const std::string& text, std::chrono::seconds patience);

  // What a terminal's Ctrl-C or hang-up, or a kill of the job, does: the whole group is told.
  void signalGroup(int signal) const;

  // The exit code, or 128 + the signal's number; -1 when it has not ended within 30 seconds.
  int wait();

  // The share's own child processes, waiting up to ten seconds for one.
  std::vector<pid_t> children() const;

  // Writes `input`, ends standard input, and waits for the end: all the share printed, and how it
  // ended.
  testing_support::ProcessResult finish(const std::string& input);

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
  int status_ = -1;
  std::string seen_;
};

}  // namespace e2e
