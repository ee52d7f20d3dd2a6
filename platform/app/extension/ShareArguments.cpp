#include "platform/app/extension/ShareArguments.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "platform/Url.hpp"

namespace platform {
namespace {

// "scheme://…" with a scheme as URLs spell it.
bool looksLikeURL(const std::string& text) {
  const auto separator = text.find("://");
  if (separator == std::string::npos || separator == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  return std::all_of(
      text.begin(), text.begin() + static_cast<std::ptrdiff_t>(separator), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
      });
}

ShareArguments::Item itemFor(const std::string& text) {
  using Kind = ShareArguments::Item::Kind;
  if (text == "-") return {Kind::standardInput, text};
  if (looksLikeURL(text)) {
    if (auto url = Url::parse(text)) {
      if (url->isFileURL()) return {Kind::file, url->path()};
      return {Kind::link, url->absoluteString()};
    }
  }
  return {Kind::file, text};
}

}  // namespace

std::string shareUsage(const std::string& programName) {
  return "Usage: " + programName +
         " [--type TYPE] [--name NAME] [--no-window] [--version] [--help] [ITEM...]\n" +
         "Shares items through this share extension, as the desktop's share service does: each\n"
         "ITEM is one shared item.\n"
         "\n"
         "  ITEM         a file's path (the file, offered by location), a URL such as https://...\n"
         "               (a link), or - (standard input, offered as data)\n"
         "  --type TYPE  the content type of standard input: a type identifier such as\n"
         "               public.mp3, or a MIME type such as audio/mpeg (default: public.data)\n"
         "  --name NAME  the name standard input suggests for its file (default: none)\n"
         "  --no-window  keep the sheet out of a window, even where a display is available\n"
         "  --version    show the version and exit\n"
         "  --help       show this help and exit\n"
         "\n"
         "Without ITEM the share has no items. The sheet is a window where a display is available\n"
         "(WAYLAND_DISPLAY or DISPLAY); otherwise it is drawn in the terminal when there is one,\n"
         "or each text it shows is printed on a line of its own. Return presses its default\n"
         "button; so does the end of input, for a sheet outside a window.\n"
         "\n"
         "Exit status: 0 when the share completed, 1 when it was cancelled, 2 on a usage error.\n";
}

std::string shareVersion(const std::string& programName) {
  return programName + " " + EXTENSION_VERSION + "\n";
}

ShareArguments parseShareArguments(const std::vector<std::string>& arguments) {
  ShareArguments parsed;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument == "-" || !argument.starts_with("-")) {
      parsed.items.push_back(itemFor(argument));
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (argument == "--help" || argument == "-h") {
      parsed.help = true;
      continue;
    }
    if (argument == "--no-window") {
      parsed.noWindow = true;
      continue;
    }
    if (argument == "--version") {
      parsed.version = true;
      continue;
    }
    std::optional<std::string>* target = nullptr;
    std::string option = argument;
    std::optional<std::string> value;
    if (const auto equals = argument.find('='); equals != std::string::npos) {
      option = argument.substr(0, equals);
      value = argument.substr(equals + 1);
    }
    if (option == "--type") target = &parsed.type;
    if (option == "--name") target = &parsed.name;
    if (value && (option == "--no-window" || option == "--help" || option == "--version")) {
      throw std::invalid_argument("option " + option + " takes no value");
    }
    if (!target) throw std::invalid_argument("unknown option " + option);
    if (!value) {
      if (i + 1 == arguments.size()) throw std::invalid_argument(option + " needs a value");
      value = arguments[++i];
    }
    *target = std::move(value);
  }
  const auto inputs = std::count_if(parsed.items.begin(), parsed.items.end(), [](const auto& item) {
    return item.kind == ShareArguments::Item::Kind::standardInput;
  });
  if (inputs > 1) throw std::invalid_argument("standard input (-) can be shared once only");
  if (inputs == 0 && (parsed.type || parsed.name) && !parsed.help && !parsed.version) {
    throw std::invalid_argument("--type and --name describe standard input: give - as an ITEM");
  }
  return parsed;
}

}  // namespace platform
