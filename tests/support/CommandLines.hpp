#pragma once

#include <string>
#include <vector>

#include "platform/app/workspace/CommandLineRoom.hpp"

namespace testing_support {

// The whole command lines, as exec gets them.
inline std::vector<std::vector<std::string>> argumentsOf(
    const std::vector<platform::FileCommandLine>& lines) {
  std::vector<std::vector<std::string>> arguments;
  arguments.reserve(lines.size());
  for (const auto& line : lines) arguments.push_back(line.arguments());
  return arguments;
}

}  // namespace testing_support
