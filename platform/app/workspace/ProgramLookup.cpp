#include "platform/app/workspace/ProgramLookup.hpp"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string findProgram(const std::string& name) {
  if (name.empty()) throw std::system_error(ENOENT, std::generic_category(), "empty program name");
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): nothing here sets it
  std::istringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
    if (isExecutableFile(candidate)) return candidate;
  }
  throw std::system_error(ENOENT, std::generic_category(), name);
}

}  // namespace platform
