#pragma once

#include <optional>
#include <string>

#include "platform/Url.hpp"

namespace platform::userDatabase {

// The home-directory field of the user-database record of the process's real user
// (getpwuid(getuid())), copied out unchanged; none without a record or without that field.
std::optional<std::string> homeOfCurrentUser();

// The current user's home folder: the record's (homeOfCurrentUser()), its text unchanged; without
// a record or a home in it, the process's (fileManager::homeDirectoryForCurrentUser()). An empty
// home field counts as none, and so does a relative one when the current folder it would be taken
// from is gone: this never fails. Read afresh each time.
Url homeFolderOfCurrentUser();

}  // namespace platform::userDatabase
