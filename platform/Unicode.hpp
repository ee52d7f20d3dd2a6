#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Unicode operations on UTF-8 text, through ICU, which is loaded at the first text beyond ASCII
// that needs it (std::runtime_error where it cannot be). Invalid UTF-8 in an argument is read as
// U+FFFD.
namespace platform::unicode {

// The text in Normalization Form C: canonically equivalent texts give the same bytes.
std::string normalized(std::string_view text);

// True when the two texts are canonically equivalent ("é" precomposed equals "e" + U+0301).
bool canonicallyEqual(std::string_view a, std::string_view b);

// The text with leading and trailing white space and line breaks removed, as Unicode defines
// them (White_Space: tabs, line feeds, U+0085, U+00A0, U+2028, U+2029, U+3000 and the other
// spaces). White space inside stays.
std::string trimmingWhitespaceAndNewlines(std::string_view text);

// The text as valid UTF-8: every ill-formed sequence replaced by U+FFFD.
std::string repairingUtf8(std::string_view text);

// The longest prefix of valid UTF-8 `text` that is at most `maxBytes` long and ends on a
// character boundary (a user-perceived character: a letter with its combining marks stays whole).
std::size_t prefixLengthAtCharacterBoundary(std::string_view text, std::size_t maxBytes);

}  // namespace platform::unicode
