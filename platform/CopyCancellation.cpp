#include "platform/CopyCancellation.hpp"

#include <atomic>
#include <cstdint>

#include <sys/eventfd.h>
#include <unistd.h>

namespace platform::copyCancellation {
namespace {

std::atomic<bool> cancelled{false};

int eventDescriptor() {
  // Made on first use: most processes never copy from a pipe.
  static const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}

}  // namespace

void cancelAll() {
  cancelled.store(true);
  if (const int fd = eventDescriptor(); fd >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
  }
}

void reset() {
  // The flag first: a cancelAll() in between then leaves copies cancelled, never a wake-up
  // descriptor that stays readable while nothing is cancelled.
  cancelled.store(false);
  if (const int fd = eventDescriptor(); fd >= 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(fd, &count, sizeof count);  // EAGAIN: not signalled
  }
}

bool isCancelled() { return cancelled.load(std::memory_order_relaxed); }

int wakeDescriptor() { return eventDescriptor(); }

}  // namespace platform::copyCancellation
