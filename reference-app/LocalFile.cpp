#include "reference-app/LocalFile.hpp"

#include <filesystem>

#include <glib.h>

namespace reference_app {
namespace {

bool isThisComputer(const char* host, std::string_view thisHost) {
  return host == nullptr || g_ascii_strcasecmp(host, "localhost") == 0 ||
         (!thisHost.empty() && g_ascii_strcasecmp(host, std::string(thisHost).c_str()) == 0);
}

}  // namespace

std::optional<platform::Url> localFile(std::string_view uri, std::string_view thisHost) {
  // GIO's own reading of file URIs hands the host back apart, instead of dropping it as its
  // local file system does.
  char* host = nullptr;
  char* path = g_filename_from_uri(std::string(uri).c_str(), &host, nullptr);
  std::optional<platform::Url> file;
  if (path != nullptr && isThisComputer(host, thisHost)) {
    file = platform::Url::fileURL(path, /*isDirectory=*/false);
  }
  g_free(path);
  g_free(host);
  return file;
}

std::string commandLineUri(std::string_view argument) {
  std::string text(argument);
  if (!g_path_is_absolute(text.c_str())) {
    char* scheme = g_uri_parse_scheme(text.c_str());
    g_free(scheme);
    if (scheme != nullptr) return text;
  }
  std::error_code ignored;
  const auto path = std::filesystem::absolute(text, ignored).lexically_normal();
  char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  std::string result = uri != nullptr ? uri : text;
  g_free(uri);
  return result;
}

}  // namespace reference_app
