#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/Url.hpp"

namespace platform {

// Standard input's data, read into a file of its own the first time an item asks for it: the
// sheet is up meanwhile, and input that never ends does not keep it from showing.
//
// The file has no name until all input is in (O_TMPFILE; where the folder's file system refuses
// that, a hidden name until complete), so a process killed while reading leaves nothing behind.
// Then it is named "standard input" in the folder, where it stays until the folder goes.
class StandardInputSpool {
 public:
  // What reading gave: the file, or why there is none.
  struct Result {
    std::optional<Url> file;
    std::optional<std::error_code> error;
  };

  // `folder` exists and is the runtime's own. Throws std::system_error when no wake-up channel
  // can be made.
  explicit StandardInputSpool(Url folder);
  ~StandardInputSpool();
  StandardInputSpool(const StandardInputSpool&) = delete;
  StandardInputSpool& operator=(const StandardInputSpool&) = delete;

  // Reads all of standard input into the file, in constant memory, blocking until its end; later
  // calls return the first call's result at once. Input that gives no bytes at all is an error
  // (ENODATA): there is no recording in it. Any thread; meant for a load thread.
  Result file();

  // Ends a read under way, and fails any later one, with ECANCELED; the partial file goes. Any
  // thread, any number of times.
  void cancel();

 private:
  Result spool();

  Url folder_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::atomic<bool> cancelled_{false};
  std::once_flag once_;
  Result result_;
};

}  // namespace platform
