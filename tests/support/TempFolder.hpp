#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Url.hpp"

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes. Its path has symbolic links resolved, so it compares alike with resolved paths.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  platform::Url url() const { return platform::Url::fileURL(path_.string(), true); }
  // A location inside the folder (not created).
  std::filesystem::path operator/(const std::string& relative) const { return path_ / relative; }

 private:
  std::filesystem::path path_;
};

// Writes `content` to `path`, creating missing folders above it.
void writeFile(const std::filesystem::path& path, const std::string& content);
// The whole content of a file.
std::string readFile(const std::filesystem::path& path);
// `size` bytes that a copy cutting, repeating or reordering pieces would not match.
std::string patterned(std::size_t size);
// The names in a folder, sorted.
std::vector<std::string> namesIn(const std::filesystem::path& folder);

}  // namespace testing_support
