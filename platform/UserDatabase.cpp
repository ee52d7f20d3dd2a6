#include "platform/UserDatabase.hpp"

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include "platform/FileManager.hpp"

namespace platform::userDatabase {
namespace {

constexpr std::size_t kInitialBufferSize = 1024;
// A record larger than this is taken as a broken database rather than grown into without end.
constexpr std::size_t kMaximumBufferSize = 1 << 20;

}  // namespace

std::optional<std::string> homeOfCurrentUser() {
  const uid_t user = ::getuid();
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested)
                                         : kInitialBufferSize);
  while (true) {
    passwd record{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(user, &record, buffer.data(), buffer.size(), &found);
    if (error == EINTR) continue;
    if (error == ERANGE && buffer.size() < kMaximumBufferSize) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    return std::string(found->pw_dir);
  }
}

Url homeFolderOfCurrentUser() {
  // An empty home field names no folder: it counts as none.
  if (auto home = homeOfCurrentUser(); home && !home->empty()) {
    try {
      return Url::fileURL(std::move(*home), /*isDirectory=*/true);
    } catch (const std::system_error&) {
      // A relative home, and no current folder to take it from: as good as none.
    }
  }
  return fileManager::homeDirectoryForCurrentUser();
}

}  // namespace platform::userDatabase
