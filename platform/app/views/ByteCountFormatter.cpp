#include "platform/app/views/ByteCountFormatter.hpp"

#include <array>
#include <cstdio>

namespace platform::byteCountFormatter {

std::string string(std::uint64_t bytes) {
  constexpr std::array<const char*, 6> units{"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  auto value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < units.size()) {
    value /= 1024;
    ++unit;
  }
  std::array<char, 32> text{};
  // 9.96 would print as "10.0": from there on, whole numbers.
  if (value < 9.95) {
    std::snprintf(text.data(), text.size(), "%.1f %s", value, units[unit]);
  } else {
    std::snprintf(text.data(), text.size(), "%.0f %s", value, units[unit]);
  }
  return text.data();
}

std::string progress(std::uint64_t completed, std::uint64_t total, std::uint64_t bytesPerSecond) {
  const std::uint64_t percent =
      total == 0 ? 0
                 : static_cast<std::uint64_t>(static_cast<long double>(completed) * 100 / total);
  std::string text =
      std::to_string(percent) + " % \u2014 " + string(completed) + " of " + string(total);
  if (bytesPerSecond > 0) text += ", " + string(bytesPerSecond) + "/s";
  return text;
}

}  // namespace platform::byteCountFormatter
