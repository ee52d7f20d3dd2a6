#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The command line of a share extension:
// `[--type T] [--name N] [--no-window] [--version] [--help] [ITEM…]`, each ITEM one shared item.
struct ShareArguments {
  struct Item {
    enum class Kind {
      file,           // a path (or a file:// URL): a file offered by location
      link,           // any other URL with "://": a link
      standardInput,  // "-": standard input offered as data
    };
    Kind kind;
    std::string text;  // the path, or the URL's text
  };

  std::vector<Item> items;
  std::optional<std::string> type;  // --type: standard input's content type
  std::optional<std::string> name;  // --name: its suggested name; none when not given
  bool help = false;                // --help or -h: print shareUsage() and exit 0
  bool version = false;             // --version: print shareVersion() and exit 0
  bool noWindow = false;  // --no-window: the sheet stays in the terminal (or lines of text)
};

// Reads the arguments after the program's name. Options may stand anywhere before "--"; after
// it every argument is an ITEM. Throws std::invalid_argument, its what() the message for the
// user, on a usage error: an unknown option, an option without its value, "-" more than once,
// --type or --name without "-".
ShareArguments parseShareArguments(const std::vector<std::string>& arguments);

// What --help prints, for the program called `programName`. Its first line names every option.
std::string shareUsage(const std::string& programName);

// What --version prints: "kelpword-share <the project's version>" and a new line.
std::string shareVersion(const std::string& programName);

}  // namespace platform
