#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

// A new, empty folder "NAME-XXXXXX" inside `under`, for one run's files, which the benchmark
// removes at its end. None, with the reason printed, when it cannot be made.
std::optional<std::filesystem::path> makeWorkFolder(const std::filesystem::path& under,
                                                    std::string_view name);
