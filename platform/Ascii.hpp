#pragma once

#include <cstddef>
#include <string_view>

// ASCII-only letter case, for texts whose grammar is ASCII (URL schemes, type identifiers,
// file-name extensions); locale-independent on purpose.
namespace platform::ascii {

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace platform::ascii
