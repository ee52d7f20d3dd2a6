#include "bench/WorkFolder.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

namespace {

// A new, empty folder "NAME-XXXXXX" inside `under`, for one run's files. None, with the reason
// printed, when it cannot be made.
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

}  // namespace

int measureInWorkFolder(const std::filesystem::path& under, std::string_view name,
                        const std::function<int(const std::filesystem::path& work)>& measure) {
  const auto made = makeWorkFolder(under, "kelpword-" + std::string(name) + "-bench");
  if (!made) return 1;
  int status = 1;
  try {
    status = measure(*made);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s benchmark: %s\n", std::string(name).c_str(), error.what());
  }
  std::error_code ignored;
  std::filesystem::remove_all(*made, ignored);
  return status;
}
