#include "bench/WorkFolder.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

std::optional<std::filesystem::path> makeWorkFolder(const std::filesystem::path& under,
                                                    std::string_view name) {
  std::string pattern = (under / (std::string(name) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "kelpword-bench: cannot make a folder in %s: %s\n", under.c_str(),
                 std::strerror(errno));  // NOLINT(concurrency-mt-unsafe): before any thread
    return std::nullopt;
  }
  return pattern;
}
