#pragma once

#include <string>

namespace platform {

// Where the program that a command line names lies: the name itself when it holds a "/",
// otherwise the first executable regular file of that name in the folders of $PATH
// (/usr/local/bin:/usr/bin:/bin when unset or empty; an empty entry is the current folder), as
// execvp finds it. The launcher and the launch broker both find programs this way. Throws
// std::system_error: ENOENT for an empty name or one that no folder holds.
std::string findProgram(const std::string& name);

}  // namespace platform
