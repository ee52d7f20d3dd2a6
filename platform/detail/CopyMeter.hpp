#pragma once

#include <cstdint>

// What a copy reports to copyProgress(). Private to platform/.
namespace platform::detail {

// One copyItem's share of the process's figures; what it counted is taken out again when it goes
// without finish() (a failure, a cancellation). One thread.
class CopyMeter {
 public:
  CopyMeter() = default;
  CopyMeter(const CopyMeter&) = delete;
  CopyMeter& operator=(const CopyMeter&) = delete;
  ~CopyMeter();

  // `bytes` more to copy: a file's size, as its copy starts.
  void expect(std::uint64_t bytes);
  // `bytes` more copied, or passed over as a hole. A relaxed atomic addition.
  void advance(std::uint64_t bytes);
  // The copy starts over: what it counted so far is taken out.
  void restart();
  // The copy succeeded: its bytes stay counted, and it counts as whole even where a file shrank
  // meanwhile, so that a finished batch shows all of its total done.
  void finish();

 private:
  std::uint64_t expected_ = 0;
  std::uint64_t advanced_ = 0;
  bool finished_ = false;
};

}  // namespace platform::detail
