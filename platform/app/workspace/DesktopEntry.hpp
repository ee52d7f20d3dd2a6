#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Url.hpp"
#include "platform/app/workspace/CommandLineRoom.hpp"

namespace platform {

// An installed application's desktop entry (a `.desktop` file): the keys of its
// [Desktop Entry] group, and its Exec line made into command lines as the freedesktop.org
// Desktop Entry rules say.
class DesktopEntry {
 public:
  // Reads the entry at `file`. Throws std::system_error when it cannot be read.
  static DesktopEntry read(const Url& file);
  // The entry in `text`, as if read from `location` (which %k names).
  static DesktopEntry parse(std::string_view text, Url location);

  // The unlocalised value of `key` in the [Desktop Entry] group, its escapes (\s \n \t \r \\)
  // decoded; none when missing.
  std::optional<std::string> value(std::string_view key) const;
  // Hidden=true: the entry counts as deleted.
  bool isHidden() const { return value("Hidden") == "true"; }

  // The command lines that open `urls` with this application, one per program to start, each
  // fitted into `room` (see fitCommandLine()): the Exec line split into arguments (double quotes
  // and their escapes honoured) with its field codes expanded: %F to every file path and %U to
  // every URL, each its own argument, spread over as many programs as `room` needs, each with the
  // same other words; %f and %u to one of them, one program per file (one program without any
  // when `urls` is empty); %i to "--icon" and the Icon value, %c to Name, %k to the entry's path,
  // %% to "%"; deprecated codes are dropped. Throws std::system_error(EINVAL) for an entry
  // without Exec, or an Exec line the Desktop Entry rules call invalid (an unknown code, %F/%U/%i
  // inside a word, more than one file code, an unclosed quote).
  std::vector<FileCommandLine> commandLines(const std::vector<Url>& urls,
                                            std::size_t room = argumentRoom()) const;

  const Url& location() const { return location_; }

 private:
  std::map<std::string, std::string, std::less<>> values_;
  Url location_ = Url::fileURL("/", true);
};

// The folders where desktop entries of installed applications lie, most important first:
// $XDG_DATA_HOME/applications ($HOME/.local/share when unset), then each of $XDG_DATA_DIRS
// (/usr/local/share:/usr/share when unset) with /applications appended.
std::vector<Url> applicationFolders();

}  // namespace platform
