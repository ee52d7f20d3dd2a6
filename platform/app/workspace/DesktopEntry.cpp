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

bool isFileCode(char code) { return std::string_view("fuFU").find(code) != std::string_view::npos; }

std::string textOf(const Url& url, bool asURL) { return asURL ? url.absoluteString() : url.path(); }

// The code of a word that is a field code alone ("%F"), or 0. Field codes inside quotes are left
// as written: the Desktop Entry rules leave them undefined.
char codeOf(const Word& word) {
  return !word.quoted && word.text.size() == 2 && word.text[0] == '%' ? word.text[1] : '\0';
}

// Whether the line starts one program per file (%f or %u) rather than one for all (%F, %U, or no
// file code). More than one file code makes the line invalid.
bool startsOnePerFile(const std::vector<Word>& words) {
  int fileCodes = 0;
  bool onePerFile = false;
  for (const auto& word : words) {
    if (word.quoted) continue;
    for (std::size_t i = 0; i + 1 < word.text.size(); ++i) {
      if (word.text[i] != '%') continue;
      const char code = word.text[++i];
      if (isFileCode(code)) ++fileCodes;
      if (code == 'f' || code == 'u') onePerFile = true;
    }
  }
  if (fileCodes > 1) invalid();
  return onePerFile;
}

// One program's command line in the making: the words go before the files until the files have
// their place, after them from then on.
struct Expansion {
  const DesktopEntry& entry;
  const std::vector<Url>& urls;
  const Url* single = nullptr;  // the one file of a program per file, if any
  FileCommandLine line;
  bool filesPlaced = false;

  void add(std::string word) {
    (filesPlaced ? line.after : line.before).push_back(std::move(word));
  }
  void placeFiles(std::vector<std::string> files) {
    line.files = std::move(files);
    filesPlaced = true;
  }
};

// %F and %U: every file, each its own argument.
void expandAllFiles(Expansion& expansion, bool asURLs) {
  std::vector<std::string> files;
  files.reserve(expansion.urls.size());
  for (const auto& url : expansion.urls) files.push_back(textOf(url, asURLs));
  expansion.placeFiles(std::move(files));
}

// %f and %u as a word of their own: this program's file, or nothing.
void expandOneFile(Expansion& expansion, bool asURL) {
  if (expansion.single) expansion.placeFiles({textOf(*expansion.single, asURL)});
}

// %i: the icon option, when the entry has an icon.
void expandIcon(Expansion& expansion) {
  if (auto icon = expansion.entry.value("Icon"); icon && !icon->empty()) {
    expansion.add("--icon");
    expansion.add(std::move(*icon));
  }
}

// A code inside a longer word: %%, %f, %u, %c, %k or a deprecated one.
std::string expandWithinWord(const Expansion& expansion, char code) {
  switch (code) {
    case '%':
      return "%";
    case 'f':
    case 'u':
      return expansion.single ? textOf(*expansion.single, code == 'u') : std::string();
    case 'c':
      return expansion.entry.value("Name").value_or("");
    case 'k':
      return expansion.entry.location().path();
    default:
      if (!isDeprecatedCode(code)) invalid();
      return {};
  }
}

std::string expandWord(const Expansion& expansion, std::string_view text) {
  std::string expanded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      expanded += text[i];
      continue;
    }
    if (i + 1 == text.size()) invalid();
    expanded += expandWithinWord(expansion, text[++i]);
  }
  return expanded;
}

void expand(Expansion& expansion, const Word& word) {
  if (word.quoted) return expansion.add(word.text);
  switch (const char code = codeOf(word)) {
    case 'F':
    case 'U':
      return expandAllFiles(expansion, code == 'U');
    case 'f':
    case 'u':
      return expandOneFile(expansion, code == 'u');
    case 'i':
      return expandIcon(expansion);
    default:
      if (code != '\0' && isDeprecatedCode(code)) return;
      expansion.add(expandWord(expansion, word.text));
  }
}

// The command line of one program: with `single` as its file, or with every file of `urls`.
FileCommandLine commandLine(const DesktopEntry& entry, const std::vector<Word>& words,
                            const std::vector<Url>& urls, const Url* single) {
  Expansion expansion{.entry = entry, .urls = urls, .single = single};
  for (const auto& word : words) expand(expansion, word);
  if (expansion.line.arguments().empty()) invalid();
  return std::move(expansion.line);
}

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

std::vector<FileCommandLine> DesktopEntry::commandLines(const std::vector<Url>& urls,
                                                        std::size_t room) const {
  const auto exec = value("Exec");
  if (!exec || trim(*exec).empty()) invalid();
  const auto words = splitExec(*exec);
  if (!startsOnePerFile(words) || urls.empty()) {
    return fitCommandLine(commandLine(*this, words, urls, nullptr), room);
  }
  std::vector<FileCommandLine> lines;
  lines.reserve(urls.size());
  for (const auto& url : urls) lines.push_back(commandLine(*this, words, urls, &url));
  return lines;
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
