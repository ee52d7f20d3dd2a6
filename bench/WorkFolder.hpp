#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

// Runs `measure` in a new work folder "kelpword-NAME-bench-XXXXXX" inside `under`, removed at the
// end; an exception it throws is printed as "NAME benchmark: …". The exit code: what `measure`
// returned, or 1 where it threw or the folder could not be made.
int measureInWorkFolder(const std::filesystem::path& under, std::string_view name,
                        const std::function<int(const std::filesystem::path& work)>& measure);
