#pragma once

#include <cstdint>

namespace platform {

// How far the process's file copies (fileManager::copyItem) have come, in bytes, summed over
// every copy of known size since the process began: a regular file counts its size when its copy
// starts, and its bytes as they are copied (a hole as it is passed over, a clone at once). A pipe
// has no size known ahead and counts nowhere. A copy that fails or is cancelled takes its bytes
// out of both again, so a finished batch reads `completed == total`.
//
// A caller that watches one batch subtracts the figures read before it started.
struct CopyProgress {
  std::uint64_t completed = 0;
  std::uint64_t total = 0;
  friend bool operator==(const CopyProgress&, const CopyProgress&) = default;
};

// The figures now; `completed` never exceeds `total` (a file that grows while copied is counted
// at the size it had when its copy started). Any thread; costs two atomic reads.
CopyProgress copyProgress();

}  // namespace platform
