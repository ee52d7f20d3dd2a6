// Prints the MIME types of every audio and video type in the content-type table, as a desktop
// entry's MimeType value ("audio/mp4;audio/x-m4a;…;"): the build writes it into the share
// extension's desktop entry, so that the table stays the one list of what the extension takes.
//
// Of the names that the shared MIME database makes aliases of one type, only the one that sorts
// last is printed. GIO reads each applications folder's mimeinfo.cache name by name in sorted
// order, folding aliases into their type, and recommends (and, where the user chose no default,
// opens with) the entries in the order met: listed under its group's last name only, the share
// comes after every player of the folder, whichever of the names the player lists.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/UTType.hpp"

namespace {

// The folders of the shared MIME database, as XDG_DATA_DIRS names them.
std::vector<std::string> dataFolders() {
  const char* named = std::getenv("XDG_DATA_DIRS");  // NOLINT(concurrency-mt-unsafe): one thread
  std::istringstream folders(named != nullptr && *named != '\0' ? named
                                                                : "/usr/local/share:/usr/share");
  std::vector<std::string> found;
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (!folder.empty()) found.push_back(folder);
  }
  return found;
}

// Each alias's type, from the database's "alias type" lines; the first folder's word wins.
std::map<std::string, std::string> aliasTypes() {
  std::map<std::string, std::string> types;
  for (const auto& folder : dataFolders()) {
    std::ifstream aliases(folder + "/mime/aliases");
    std::string alias, type;
    while (aliases >> alias >> type) types.emplace(alias, type);
  }
  return types;
}

std::vector<std::string> audiovisualMimeTypes() {
  using platform::UTType;
  std::vector<std::string> listed;
  for (const auto& type : UTType::allTypes()) {
    if (!type.conforms(UTType::audiovisualContent())) continue;
    for (const auto& mimeType : type.mimeTypes()) {
      if (std::find(listed.begin(), listed.end(), mimeType) == listed.end()) {
        listed.push_back(mimeType);
      }
    }
  }
  return listed;
}

// `listed` with each group of aliases of one type kept as its last name, in the order first met.
std::vector<std::string> lastOfEachType(const std::vector<std::string>& listed,
                                        const std::map<std::string, std::string>& aliases) {
  const auto typeOf = [&](const std::string& name) {
    const auto alias = aliases.find(name);
    return alias == aliases.end() ? name : alias->second;
  };
  std::map<std::string, std::string> last;  // by type
  for (const auto& name : listed) {
    auto& kept = last[typeOf(name)];
    kept = std::max(kept, name);
  }
  std::vector<std::string> kept;
  for (const auto& name : listed) {
    if (last[typeOf(name)] == name) kept.push_back(name);
  }
  return kept;
}

}  // namespace

int main() {
  for (const auto& mimeType : lastOfEachType(audiovisualMimeTypes(), aliasTypes())) {
    std::cout << mimeType << ';';
  }
  std::cout << '\n';
  return std::cout.good() ? 0 : 1;
}
