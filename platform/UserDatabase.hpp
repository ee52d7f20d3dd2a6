#pragma once

#include <optional>
#include <string>

namespace platform::userDatabase {

// The home-directory field of the user-database record of the process's real user
// (getpwuid(getuid())), copied out unchanged; none without a record or without that field.
std::optional<std::string> homeOfCurrentUser();

}  // namespace platform::userDatabase
