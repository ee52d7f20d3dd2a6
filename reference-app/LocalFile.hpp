#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Url.hpp"

namespace reference_app {

// The file on this computer that `uri` names: a file:// URI whose host is empty, "localhost" or
// `thisHost` (letter case aside), its path decoded. None for anything else: another host's file,
// another scheme, a relative or malformed URI, an escaped "/" or NUL. Whether the file exists is
// not looked at.
std::optional<platform::Url> localFile(std::string_view uri, std::string_view thisHost);

// The URI a command-line argument names, as a second instance hands it on: an absolute URI as it
// is, anything else a path, relative ones against the current folder.
std::string commandLineUri(std::string_view argument);

}  // namespace reference_app
