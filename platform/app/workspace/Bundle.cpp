#include "platform/app/workspace/Bundle.hpp"

#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include <fcntl.h>

#include "platform/detail/Posix.hpp"

namespace platform {
namespace {

// The XML of a property list as a flat run of tags and texts.
struct Token {
  enum class Kind { open, close, empty, text } kind;
  std::string name;  // the tag's name, or the decoded text
};

std::string decodeEntities(std::string_view text) {
  static const std::pair<std::string_view, char> entities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    if (text[i] == '&') {
      for (const auto& [entity, character] : entities) {
        if (text.substr(i, entity.size()) == entity) {
          out += character;
          i += entity.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

std::vector<Token> tokenize(std::string_view xml) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < xml.size()) {
    if (xml[i] != '<') {
      const auto end = xml.find('<', i);
      tokens.push_back({Token::Kind::text, decodeEntities(xml.substr(i, end - i))});
      i = end;
      continue;
    }
    if (xml.substr(i, 4) == "<!--") {
      const auto end = xml.find("-->", i);
      i = end == std::string_view::npos ? xml.size() : end + 3;
      continue;
    }
    const auto end = xml.find('>', i);
    if (end == std::string_view::npos) break;
    std::string_view tag = xml.substr(i + 1, end - i - 1);
    i = end + 1;
    if (tag.empty() || tag[0] == '?' || tag[0] == '!') continue;
    Token token{Token::Kind::open, {}};
    if (tag[0] == '/') {
      token.kind = Token::Kind::close;
      tag.remove_prefix(1);
    } else if (tag.back() == '/') {
      token.kind = Token::Kind::empty;
      tag.remove_suffix(1);
    }
    token.name = std::string(tag.substr(0, tag.find_first_of(" \t\r\n")));
    tokens.push_back(std::move(token));
  }
  return tokens;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::optional<std::string> propertyListString(std::string_view plistText, std::string_view key) {
  const auto tokens = tokenize(plistText);
  std::size_t i = 0;
  // Into <plist>, then its first <dict>.
  while (i < tokens.size() && !(tokens[i].kind == Token::Kind::open && tokens[i].name == "dict")) {
    ++i;
  }
  int depth = 0;
  bool valueOfKey = false;
  for (++i; i < tokens.size(); ++i) {
    const auto& token = tokens[i];
    if (token.kind == Token::Kind::close) {
      if (depth == 0) return std::nullopt;  // the end of the top-level dictionary
      --depth;
      continue;
    }
    if (token.kind == Token::Kind::text) continue;
    if (depth == 0 && token.name == "key" && token.kind == Token::Kind::open) {
      const bool hasText = i + 1 < tokens.size() && tokens[i + 1].kind == Token::Kind::text;
      valueOfKey = (hasText ? tokens[i + 1].name : std::string()) == key;
      ++depth;
      continue;
    }
    if (depth == 0 && valueOfKey) {
      if (token.name != "string") return std::nullopt;
      if (token.kind == Token::Kind::empty) return std::string();
      const bool hasText = i + 1 < tokens.size() && tokens[i + 1].kind == Token::Kind::text;
      return hasText ? tokens[i + 1].name : std::string();
    }
    if (token.kind == Token::Kind::open) ++depth;
  }
  return std::nullopt;
}

Bundle::Bundle(Url bundleURL) : url_(std::move(bundleURL)) {}

const Bundle& Bundle::main() {
  static const Bundle bundle = [] {
    const std::string path = posix::readLinkAt(AT_FDCWD, "/proc/self/exe").value_or(".");
    return containing(Url::fileURL(path, /*isDirectory=*/false));
  }();
  return bundle;
}

Bundle Bundle::containing(const Url& executable) {
  const Url folder = executable.deletingLastPathComponent();
  const Url contents = folder.deletingLastPathComponent();
  if (folder.lastPathComponent() == "MacOS" && contents.lastPathComponent() == "Contents") {
    return Bundle(contents.deletingLastPathComponent());
  }
  return Bundle(folder);
}

std::optional<std::string> Bundle::infoValue(std::string_view key) const {
  const auto plist = url_.appendingPathComponent("Contents/Info.plist");
  return propertyListString(readWholeFile(plist.path()), key);
}

std::optional<Url> Bundle::executableURL() const {
  const auto name = infoValue("CFBundleExecutable");
  if (!name || name->empty() || name->find('/') != std::string::npos) return std::nullopt;
  return url_.appendingPathComponent("Contents/MacOS").appendingPathComponent(*name);
}

}  // namespace platform
