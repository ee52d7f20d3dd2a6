#pragma once

#include <filesystem>

#include "platform/Url.hpp"

// File URLs for paths a test made: a file's without a trailing slash, a folder's with one.
namespace testing_support {

inline platform::Url fileURL(const std::filesystem::path& path) {
  return platform::Url::fileURL(path.string(), /*isDirectory=*/false);
}

inline platform::Url folderURL(const std::filesystem::path& path) {
  return platform::Url::fileURL(path.string(), /*isDirectory=*/true);
}

}  // namespace testing_support
