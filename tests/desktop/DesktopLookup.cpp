#include "tests/desktop/DesktopLookup.hpp"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "platform/UTType.hpp"
#include "tests/support/Subprocess.hpp"

namespace desktop_tests {

namespace fs = std::filesystem;

std::vector<std::string> recordingsToAskFor() {
  std::vector<std::string> asked;
  for (const auto& type : platform::UTType::allTypes()) {
    if (!type.conforms(platform::UTType::audiovisualContent())) continue;
    asked.insert(asked.end(), type.mimeTypes().begin(), type.mimeTypes().end());
  }
  for (const char* name :
       {"Interview.mp3", "Interview.m4a", "Interview.aac", "Interview.wav", "Interview.flac",
        "Interview.ogg", "Interview.opus", "Interview.aiff", "Interview.mp4", "Interview.mov",
        "Interview.mkv", "Interview.webm", "Interview.avi", "Interview.3gp"}) {
    asked.emplace_back(name);
  }
  return asked;
}

std::map<std::string, Recommendation> recommendedApplications(const std::vector<std::string>& asked,
                                                              const fs::path& dataFolder,
                                                              const fs::path& scratch,
                                                              const fs::path& programFolder) {
  fs::create_directories(scratch / "data-home");
  fs::create_directories(scratch / "config-home");
  testing_support::ProcessOptions options;
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): tests only read it
  options.environment = {
      {"HOME", scratch.string()},
      {"XDG_DATA_HOME", (scratch / "data-home").string()},
      {"XDG_DATA_DIRS", dataFolder.string() + ":/usr/share"},
      {"XDG_CONFIG_HOME", (scratch / "config-home").string()},
      {"XDG_CONFIG_DIRS", (scratch / "config-home").string()},
      {"PATH", (programFolder.empty() ? "" : programFolder.string() + ":") +
                   (path != nullptr ? path : "/usr/bin:/bin")},
  };
  options.unsetEnvironment = {"XDG_CURRENT_DESKTOP"};
  std::vector<std::string> argv{RECOMMENDED_APPLICATIONS};
  argv.insert(argv.end(), asked.begin(), asked.end());
  const auto result = testing_support::run(argv, options);
  if (result.exitStatus != 0) {
    throw std::runtime_error("recommended-applications failed: " + result.err);
  }
  std::map<std::string, Recommendation> recommended;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string argument, type, ids;
    std::getline(fields, argument, '\t');
    std::getline(fields, type, '\t');
    std::getline(fields, ids, '\t');
    auto& entry = recommended[argument];
    entry.type = type;
    std::getline(fields, entry.defaultId);
    std::istringstream words(ids);
    for (std::string id; words >> id;) entry.ids.push_back(id);
  }
  return recommended;
}

}  // namespace desktop_tests
