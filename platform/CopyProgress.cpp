#include "platform/CopyProgress.hpp"

#include <algorithm>
#include <atomic>

#include "platform/detail/CopyMeter.hpp"

namespace platform {
namespace {

// Relaxed: the figures are read to be shown, and order nothing else.
std::atomic<std::uint64_t> completedBytes{0};
std::atomic<std::uint64_t> totalBytes{0};

}  // namespace

CopyProgress copyProgress() {
  // The total first, as a copy counts it first; relaxed loads may still see bytes done before
  // their total, which the minimum below hides.
  const auto total = totalBytes.load(std::memory_order_relaxed);
  const auto completed = completedBytes.load(std::memory_order_relaxed);
  return {std::min(completed, total), total};
}

namespace detail {

CopyMeter::~CopyMeter() {
  if (!finished_) restart();
}

void CopyMeter::restart() {
  completedBytes.fetch_sub(advanced_, std::memory_order_relaxed);
  totalBytes.fetch_sub(expected_, std::memory_order_relaxed);
  advanced_ = 0;
  expected_ = 0;
}

void CopyMeter::finish() {
  advance(expected_ - advanced_);
  finished_ = true;
}

void CopyMeter::expect(std::uint64_t bytes) {
  expected_ += bytes;
  totalBytes.fetch_add(bytes, std::memory_order_relaxed);
}

void CopyMeter::advance(std::uint64_t bytes) {
  // A file that grew meanwhile: its extra bytes were never expected.
  bytes = std::min(bytes, expected_ - advanced_);
  advanced_ += bytes;
  completedBytes.fetch_add(bytes, std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace platform
