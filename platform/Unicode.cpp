#include "platform/Unicode.hpp"

#include <cstdint>
#include <memory>
#include <stdexcept>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace platform::unicode {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

void check(UErrorCode status, const char* what) {
  if (U_FAILURE(status)) throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

const icu::Normalizer2& nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  check(status, "ICU NFC normalizer");
  return *normalizer;
}

// The code point at `offset`, which moves past it; ill-formed UTF-8 reads as a negative value.
UChar32 nextCodePoint(std::string_view text, std::size_t& offset) {
  UChar32 c = 0;
  auto index = static_cast<int32_t>(offset);
  U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), index, static_cast<int32_t>(text.size()),
          c);
  offset = static_cast<std::size_t>(index);
  return c;
}

UChar32 previousCodePoint(std::string_view text, std::size_t& offset) {
  UChar32 c = 0;
  auto index = static_cast<int32_t>(offset);
  U8_PREV(reinterpret_cast<const uint8_t*>(text.data()), 0, index, c);
  offset = static_cast<std::size_t>(index);
  return c;
}

bool isWhiteSpace(UChar32 c) { return c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE); }

// Breaking rules are costly to load, and an iterator is not shareable across threads: one per
// thread, kept for the thread's life.
icu::BreakIterator& characterBreaks() {
  static thread_local std::unique_ptr<icu::BreakIterator> iterator;
  if (!iterator) {
    UErrorCode status = U_ZERO_ERROR;
    iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    check(status, "ICU character break iterator");
  }
  return *iterator;
}

}  // namespace

std::string normalized(std::string_view text) {
  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString result = nfc().normalize(source, status);
  check(status, "NFC normalization");
  std::string utf8;
  result.toUTF8String(utf8);
  return utf8;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  return a == b || normalized(a) == normalized(b);
}

std::string trimmingWhitespaceAndNewlines(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!isWhiteSpace(nextCodePoint(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t previous = end;
    if (!isWhiteSpace(previousCodePoint(text, previous))) break;
    end = previous;
  }
  return repairingUtf8(text.substr(begin, end - begin));
}

std::string repairingUtf8(std::string_view text) {
  std::string repaired;
  repaired.reserve(text.size());
  std::size_t offset = 0;
  while (offset < text.size()) {
    const std::size_t start = offset;
    if (nextCodePoint(text, offset) < 0) {
      repaired += kReplacementCharacter;
    } else {
      repaired += text.substr(start, offset - start);
    }
  }
  return repaired;
}

std::size_t prefixLengthAtCharacterBoundary(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) {
    throw std::length_error("text too long for character breaking");
  }
  UErrorCode status = U_ZERO_ERROR;
  // UTF-8 text gives native indexes that are byte offsets.
  std::unique_ptr<UText, decltype(&utext_close)> utext(
      utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status),
      &utext_close);
  check(status, "ICU UText");
  icu::BreakIterator& breaks = characterBreaks();
  breaks.setText(utext.get(), status);
  check(status, "ICU break iterator text");
  // Offsets inside a code point are snapped back by ICU before it looks for the boundary before
  // them, which would lose one character: start from the code point that holds the limit.
  int32_t limit = static_cast<int32_t>(maxBytes);
  U8_SET_CP_START(reinterpret_cast<const uint8_t*>(text.data()), 0, limit);
  const int32_t boundary = breaks.isBoundary(limit) ? limit : breaks.preceding(limit);
  // The iterator must not keep a pointer to text that goes away with this call.
  breaks.setText(icu::UnicodeString());
  return boundary == icu::BreakIterator::DONE ? 0 : static_cast<std::size_t>(boundary);
}

}  // namespace platform::unicode
