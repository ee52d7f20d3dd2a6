#pragma once

#include <cstdint>
#include <string>

// Byte counts as people read them, in binary units with one decimal where it says something.
namespace platform::byteCountFormatter {

// "512 bytes", "1.0 KiB", "85 MiB", "1.2 GiB": below 10 of a unit one decimal, from 10 on none.
std::string string(std::uint64_t bytes);

// How far a copy has come: "42 % — 1.2 GiB of 2.9 GiB, 85 MiB/s"; without the rate where
// `bytesPerSecond` is 0. The percentage is rounded down, so 100 % means all of it.
std::string progress(std::uint64_t completed, std::uint64_t total, std::uint64_t bytesPerSecond);

}  // namespace platform::byteCountFormatter
