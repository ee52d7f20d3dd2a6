#include "platform/app/workspace/DesktopEntry.hpp"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

namespace platform {
namespace {

[[noreturn]] void invalid() { throw std::system_error(EINVAL, std::generic_category(), "Exec"); }

std::string trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

// The escapes of a value of type string.
std::string unescapeValue(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    switch (const char next = value[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        out += '\\';
        out += next;
    }
  }
  return out;
}

struct Word {
  std::string text;
  bool quoted = false;
};

// The Exec line's arguments: separated by spaces; a double-quoted argument keeps its spaces and
// takes \" \` \$ \\ as the character after the backslash.
std::vector<Word> splitExec(std::string_view exec) {
  std::vector<Word> words;
  std::optional<Word> current;
  bool inQuotes = false;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (inQuotes) {
      if (c == '"') {
        inQuotes = false;
      } else if (c == '\\' && i + 1 < exec.size() &&
                 std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
        current->text += exec[++i];
      } else {
        current->text += c;
      }
    } else if (c == ' ' || c == '\t') {
      if (current) words.push_back(std::move(*current));
      current.reset();
    } else {
      if (!current) current.emplace();
      if (c == '"') {
        inQuotes = true;
        current->quoted = true;
      } else {
        current->text += c;
      }
    }
  }
  if (inQuotes) invalid();
  if (current) words.push_back(std::move(*current));
  return words;
}

bool isDeprecatedCode(char code) {
  return std::string_view("dDnNvm").find(code) != std::string_view::npos;
}

std::string textOf(const Url& url, bool asURL) { return asURL ? url.absoluteString() : url.path(); }

}  // namespace

DesktopEntry DesktopEntry::read(const Url& file) {
  std::ifstream in(file.path(), std::ios::binary);
  if (!in) throw std::system_error(errno, std::generic_category(), file.path());
  std::ostringstream text;
  text << in.rdbuf();
  return parse(text.str(), file);
}

DesktopEntry DesktopEntry::parse(std::string_view text, Url location) {
  DesktopEntry entry;
  entry.location_ = std::move(location);
  bool inMainGroup = false;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    const std::string trimmed = trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    if (trimmed[0] == '[') {
      inMainGroup = trimmed == "[Desktop Entry]";
      continue;
    }
    const auto equals = trimmed.find('=');
    if (!inMainGroup || equals == std::string::npos) continue;
    std::string key = trim(trimmed.substr(0, equals));
    if (key.find('[') != std::string::npos) continue;  // a localised value
    entry.values_.emplace(std::move(key), trim(trimmed.substr(equals + 1)));
  }
  return entry;
}

std::optional<std::string> DesktopEntry::value(std::string_view key) const {
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return unescapeValue(found->second);
}

std::vector<std::vector<std::string>> DesktopEntry::commandLines(
    const std::vector<Url>& urls) const {
  const auto exec = value("Exec");
  if (!exec || trim(*exec).empty()) invalid();
  const auto words = splitExec(*exec);

  // Which file code the line uses decides how many programs start.
  int fileCodes = 0;
  bool onePerFile = false;
  for (const auto& word : words) {
    if (word.quoted) continue;
    for (std::size_t i = 0; i + 1 < word.text.size(); ++i) {
      if (word.text[i] != '%') continue;
      const char code = word.text[++i];
      if (code == 'f' || code == 'u' || code == 'F' || code == 'U') ++fileCodes;
      if (code == 'f' || code == 'u') onePerFile = true;
    }
  }
  if (fileCodes > 1) invalid();

  const std::size_t programs = onePerFile && !urls.empty() ? urls.size() : 1;
  std::vector<std::vector<std::string>> commands;
  for (std::size_t run = 0; run < programs; ++run) {
    const Url* single = onePerFile && !urls.empty() ? &urls[run] : nullptr;
    std::vector<std::string> argv;
    for (const auto& word : words) {
      // Field codes inside quotes are left as written: the Desktop Entry rules leave them
      // undefined.
      if (word.quoted) {
        argv.push_back(word.text);
        continue;
      }
      const std::string& text = word.text;
      if (text.size() == 2 && text[0] == '%') {
        const char code = text[1];
        if (code == 'F' || code == 'U') {
          for (const auto& url : urls) argv.push_back(textOf(url, code == 'U'));
          continue;
        }
        if (code == 'f' || code == 'u') {
          if (single) argv.push_back(textOf(*single, code == 'u'));
          continue;
        }
        if (code == 'i') {
          if (auto icon = value("Icon"); icon && !icon->empty()) {
            argv.emplace_back("--icon");
            argv.push_back(*icon);
          }
          continue;
        }
        if (isDeprecatedCode(code)) continue;
      }
      std::string expanded;
      for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
          expanded += text[i];
          continue;
        }
        if (i + 1 == text.size()) invalid();
        switch (const char code = text[++i]) {
          case '%':
            expanded += '%';
            break;
          case 'f':
          case 'u':
            if (single) expanded += textOf(*single, code == 'u');
            break;
          case 'c':
            expanded += value("Name").value_or("");
            break;
          case 'k':
            expanded += location_.path();
            break;
          default:
            if (!isDeprecatedCode(code)) invalid();
        }
      }
      argv.push_back(std::move(expanded));
    }
    if (argv.empty()) invalid();
    commands.push_back(std::move(argv));
  }
  return commands;
}

std::vector<Url> applicationFolders() {
  std::vector<Url> folders;
  auto add = [&](const std::string& dataFolder) {
    if (!dataFolder.empty() && dataFolder[0] == '/') {
      folders.push_back(
          Url::fileURL(dataFolder, true).appendingPathComponent("applications", true));
    }
  };
  const char* dataHome = std::getenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
  const char* home = std::getenv("HOME");               // NOLINT(concurrency-mt-unsafe)
  if (dataHome && *dataHome == '/') {
    add(dataHome);
  } else if (home && *home) {
    add(std::string(home) + "/.local/share");
  }
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");  // NOLINT(concurrency-mt-unsafe)
  std::string dirs = dataDirs && *dataDirs ? dataDirs : "/usr/local/share/:/usr/share/";
  std::istringstream parts(dirs);
  for (std::string part; std::getline(parts, part, ':');) add(part);
  return folders;
}

}  // namespace platform
