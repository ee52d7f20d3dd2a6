// Url::parse on any bytes, and the file URLs it gives taken apart and put together again: what
// parse() accepts survives a round trip through its own text, and a file URL's path makes the
// same URL again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Url.hpp"

namespace {

using platform::Url;

[[noreturn]] void failed(const char* what, std::string_view input, const Url& url) {
  std::fprintf(stderr, "%s\ninput: [", what);
  for (const unsigned char c : input) std::fprintf(stderr, "%02X", c);
  std::fprintf(stderr, "]\nurl: %s\n", url.absoluteString().c_str());
  std::abort();
}

void checkFileUrl(std::string_view input, const Url& url) {
  const std::string path = url.path();
  if (path.empty() || path.front() != '/') failed("a file URL's path is not absolute", input, url);
  if (path.size() > 1 && path.back() == '/') failed("a path ends in /", input, url);
  if (path.find('\0') != std::string::npos) failed("a path holds a NUL", input, url);
  const std::string last = url.lastPathComponent();
  if (path != "/" && last.find('/') != std::string::npos) {
    failed("a last component holds a /", input, url);
  }
  const Url again = Url::fileURL(path, url.hasDirectoryPath());
  if (again.path() != path) failed("fileURL(path()) names another path", input, again);
  if (Url::parse(again.absoluteString()) != again) {
    failed("a file URL made from a path does not parse back", input, again);
  }
  const Url standard = url.standardized();
  if (standard.standardized() != standard) failed("standardized() changes again", input, url);
  if (path != "/" && url.deletingLastPathComponent().appendingPathComponent(
                         last, url.hasDirectoryPath()) != again) {
    failed("the folder and the last component make another URL", input, url);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto url = Url::parse(input);
  if (!url) return 0;
  const auto reparsed = Url::parse(url->absoluteString());
  if (!reparsed) failed("absoluteString() does not parse", input, *url);
  if (*reparsed != *url) failed("absoluteString() parses as another URL", input, *url);
  if (url->isFileURL()) checkFileUrl(input, *url);
  return 0;
}
