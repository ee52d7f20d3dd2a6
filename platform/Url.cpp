#include "platform/Url.hpp"
#include "platform/Ascii.hpp"
#include "platform/detail/Posix.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace platform {
namespace {

constexpr std::string_view kFilePrefix = "file://";
// Links followed in one resolution before it gives up, as the kernel does (ELOOP).
constexpr int kMaxSymlinks = 40;

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

using ascii::equalsIgnoringCase;

// Characters a path may hold unencoded (RFC 3986 pchar and "/").
bool isPathCharacter(char c) {
  if (isAsciiLetter(c) || isAsciiDigit(c)) return true;
  return std::string_view("-._~!$&'()*+,;=:@/").find(c) != std::string_view::npos;
}

// Characters an absolute URL's text may hold at all; anything else (spaces, controls, bytes
// beyond ASCII) must arrive percent-encoded.
bool isUrlCharacter(char c) {
  return isPathCharacter(c) || std::string_view("?#[]%").find(c) != std::string_view::npos;
}

int hexValue(char c) {
  if (isAsciiDigit(c)) return c - '0';
  const char lower = ascii::lower(c);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

std::string percentEncodePath(std::string_view decoded) {
  static constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(decoded.size());
  for (const char c : decoded) {
    if (isPathCharacter(c)) {
      encoded += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    }
  }
  return encoded;
}

// None when a "%" is not followed by two hexadecimal digits.
std::optional<std::string> percentDecode(std::string_view encoded) {
  std::string decoded;
  decoded.reserve(encoded.size());
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      decoded += encoded[i];
      continue;
    }
    if (i + 2 >= encoded.size()) return std::nullopt;
    const int high = hexValue(encoded[i + 1]);
    const int low = hexValue(encoded[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return decoded;
}

// The length of the scheme and its ":" at the start of `text`, 0 when there is none.
std::size_t schemeLength(std::string_view text) {
  if (text.empty() || !isAsciiLetter(text[0])) return 0;
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':') return i + 1;
    if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '+' && c != '-' && c != '.') return 0;
  }
  return 0;
}

// A URL's text cut around its (still encoded) path.
struct Pieces {
  std::string head;     // scheme, ":" and "//authority"
  std::string rawPath;  // the path as written
  std::string tail;     // "?query" and "#fragment"
};

Pieces piecesOf(std::string_view text) {
  Pieces pieces;
  std::size_t pathStart = schemeLength(text);
  if (text.substr(pathStart).starts_with("//")) {
    pathStart = text.find_first_of("/?#", pathStart + 2);
    if (pathStart == std::string_view::npos) pathStart = text.size();
  }
  std::size_t pathEnd = text.find_first_of("?#", pathStart);
  if (pathEnd == std::string_view::npos) pathEnd = text.size();
  pieces.head = text.substr(0, pathStart);
  pieces.rawPath = text.substr(pathStart, pathEnd - pathStart);
  pieces.tail = text.substr(pathEnd);
  return pieces;
}

std::string collapsingSlashes(std::string_view path) {
  std::string collapsed;
  collapsed.reserve(path.size());
  for (const char c : path) {
    if (c == '/' && !collapsed.empty() && collapsed.back() == '/') continue;
    collapsed += c;
  }
  return collapsed;
}

std::string_view withoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// An absolute path with single slashes, ending in "/" exactly when it is a folder's.
std::string canonicalFilePath(std::string_view absolutePath, bool isDirectory) {
  std::string path(withoutTrailingSlashes(collapsingSlashes(absolutePath)));
  if (isDirectory && path.back() != '/') path += '/';
  return path;
}

// Where the last component of `rawPath` begins and ends; the trailing mark lies outside.
struct ComponentRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

ComponentRange lastComponentRange(std::string_view rawPath) {
  const std::string_view trimmed = withoutTrailingSlashes(rawPath);
  if (trimmed == "/") return {0, 1};
  const std::size_t slash = trimmed.rfind('/');
  return {slash == std::string_view::npos ? 0 : slash + 1, trimmed.size()};
}

// The offset of the "." that starts the extension of `component`, npos when it has none.
std::size_t extensionDot(std::string_view component) {
  const std::size_t dot = component.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string_view::npos;
  return dot;
}

std::vector<std::string> splitComponents(std::string_view path) {
  std::vector<std::string> components;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    components.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return components;
}

// "." and ".." removed from `rawPath` by text; ".." at the root stays at the root.
std::string removingDotComponents(std::string_view rawPath) {
  const bool absolute = rawPath.starts_with('/');
  std::string_view body = withoutTrailingSlashes(rawPath);
  const bool hadMark = body.size() < rawPath.size();
  if (absolute) body.remove_prefix(1);

  std::vector<std::string> kept;
  bool endsInDots = false;
  if (!body.empty()) {
    for (auto& component : splitComponents(body)) {
      endsInDots = component == "." || component == "..";
      if (component == "..") {
        if (!kept.empty()) kept.pop_back();
      } else if (!endsInDots) {
        kept.push_back(std::move(component));
      }
    }
  }

  std::string result = absolute ? "/" : "";
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) result += '/';
    result += kept[i];
  }
  // "a/.." and "a/." can only name a folder.
  if ((hadMark || endsInDots) && !result.empty() && result.back() != '/') result += '/';
  return result;
}

// The part of `path` before its last component ("/a/" for "/a/b"); the root stays the root.
std::string_view parentOf(std::string_view path) {
  const std::string_view trimmed = withoutTrailingSlashes(path);
  const std::size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return path.substr(0, 0);
  return trimmed.substr(0, slash + 1);
}

// `absolutePath` with every symbolic link resolved, as far as its components exist. The rest is
// kept as written, with "." and ".." applied by text.
std::string resolvingSymlinks(std::string_view absolutePath) {
  std::vector<std::string> pending = splitComponents(absolutePath);
  std::reverse(pending.begin(), pending.end());
  std::string resolved;          // "" stands for the root
  std::size_t missingDepth = 0;  // components at the end of `resolved` that do not exist
  int linksFollowed = 0;
  while (!pending.empty()) {
    std::string component = std::move(pending.back());
    pending.pop_back();
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      resolved.resize(resolved.rfind('/') == std::string::npos ? 0 : resolved.rfind('/'));
      if (missingDepth > 0) --missingDepth;
      continue;
    }
    std::string candidate = resolved;
    candidate += '/';
    candidate += component;
    struct stat status {};
    if (missingDepth > 0 || ::lstat(candidate.c_str(), &status) != 0) {
      ++missingDepth;
      resolved = std::move(candidate);
      continue;
    }
    if (!S_ISLNK(status.st_mode)) {
      resolved = std::move(candidate);
      continue;
    }
    const auto target =
        posix::readLinkAt(AT_FDCWD, candidate.c_str(), static_cast<std::size_t>(status.st_size));
    if (!target || target->empty() || ++linksFollowed > kMaxSymlinks) {
      // A link that cannot be followed ends resolution here, like a missing component.
      ++missingDepth;
      resolved = std::move(candidate);
      continue;
    }
    if (target->starts_with('/')) resolved.clear();
    auto targetComponents = splitComponents(*target);
    pending.insert(pending.end(), targetComponents.rbegin(), targetComponents.rend());
  }
  return resolved.empty() ? "/" : resolved;
}

}  // namespace

Url::Url(std::string text, std::string path, bool isFile)
    : text_(std::move(text)), path_(std::move(path)), isFile_(isFile) {}

Url Url::fileURL(std::string path, bool isDirectory) {
  if (!path.starts_with('/')) {
    std::error_code error;
    const auto current = std::filesystem::current_path(error);
    if (error) throw std::system_error(error, "cannot read the current folder");
    path = current.string() + "/" + path;
  }
  std::string canonical = canonicalFilePath(path, isDirectory);
  std::string text = std::string(kFilePrefix) + percentEncodePath(canonical);
  return Url(std::move(text), std::move(canonical), true);
}

std::optional<Url> Url::parse(std::string_view text) {
  const std::size_t schemeEnd = schemeLength(text);
  if (schemeEnd == 0) return std::nullopt;
  for (const char c : text) {
    if (!isUrlCharacter(c)) return std::nullopt;
  }
  const Pieces pieces = piecesOf(text);
  auto path = percentDecode(pieces.rawPath);
  if (!path || !percentDecode(pieces.head) || !percentDecode(pieces.tail)) return std::nullopt;

  if (!equalsIgnoringCase(text.substr(0, schemeEnd), "file:")) {
    return Url(std::string(text), std::move(*path), false);
  }
  // A file URL must name a path on this machine: no other host, no query or fragment, nothing
  // that a C string would silently cut short.
  std::string_view authority = std::string_view(pieces.head).substr(schemeEnd);
  if (authority.starts_with("//")) authority.remove_prefix(2);
  if (!authority.empty() && !equalsIgnoringCase(authority, "localhost")) return std::nullopt;
  if (!pieces.tail.empty() || !path->starts_with('/')) return std::nullopt;
  if (path->find('\0') != std::string::npos) return std::nullopt;
  const bool isDirectory = path->back() == '/';
  return fileURL(std::move(*path), isDirectory);
}

bool Url::isFileURL() const { return isFile_; }

bool Url::hasDirectoryPath() const { return !path_.empty() && path_.back() == '/'; }

std::string Url::path() const { return std::string(withoutTrailingSlashes(path_)); }

std::string Url::absoluteString() const { return text_; }

std::string Url::lastPathComponent() const {
  const ComponentRange range = lastComponentRange(path_);
  return path_.substr(range.begin, range.end - range.begin);
}

std::string Url::pathExtension() const {
  const std::string component = lastPathComponent();
  const std::size_t dot = component == "/" ? std::string::npos : extensionDot(component);
  return dot == std::string::npos ? std::string() : component.substr(dot + 1);
}

Url Url::appendingPathComponent(std::string_view component, bool isDirectory) const {
  Pieces pieces = piecesOf(text_);
  std::string& raw = pieces.rawPath;
  std::string_view added = component;
  while (added.starts_with('/')) added.remove_prefix(1);
  while (added.ends_with('/')) added.remove_suffix(1);
  if (!added.empty()) {
    raw = std::string(withoutTrailingSlashes(raw));
    if (raw.empty() || raw.back() != '/') raw += '/';
    raw += percentEncodePath(added);
    if (isFile_) raw = collapsingSlashes(raw);
  }
  if (isDirectory && (raw.empty() || raw.back() != '/')) raw += '/';
  std::string path = *percentDecode(raw);
  return Url(pieces.head + raw + pieces.tail, std::move(path), isFile_);
}

Url Url::deletingLastPathComponent() const {
  Pieces pieces = piecesOf(text_);
  if (withoutTrailingSlashes(pieces.rawPath) == "/") {
    pieces.rawPath = "/";
  } else {
    pieces.rawPath = std::string(parentOf(pieces.rawPath));
  }
  std::string path = *percentDecode(pieces.rawPath);
  return Url(pieces.head + pieces.rawPath + pieces.tail, std::move(path), isFile_);
}

Url Url::deletingPathExtension() const {
  Pieces pieces = piecesOf(text_);
  const ComponentRange range = lastComponentRange(pieces.rawPath);
  const std::string_view component =
      std::string_view(pieces.rawPath).substr(range.begin, range.end - range.begin);
  const std::size_t dot = component == "/" ? std::string_view::npos : extensionDot(component);
  if (dot == std::string_view::npos) return *this;
  pieces.rawPath.erase(range.begin + dot, range.end - range.begin - dot);
  std::string path = *percentDecode(pieces.rawPath);
  return Url(pieces.head + pieces.rawPath + pieces.tail, std::move(path), isFile_);
}

Url Url::standardized() const {
  Pieces pieces = piecesOf(text_);
  pieces.rawPath = removingDotComponents(pieces.rawPath);
  std::string path = *percentDecode(pieces.rawPath);
  return Url(pieces.head + pieces.rawPath + pieces.tail, std::move(path), isFile_);
}

Url Url::resolvingSymlinksInPath() const {
  if (!isFile_) return *this;
  return fileURL(resolvingSymlinks(path_), hasDirectoryPath());
}

}  // namespace platform
