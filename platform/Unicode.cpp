#include "platform/Unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include <unicode/utf8.h>

#include "platform/detail/IcuLibrary.hpp"

// ASCII text is handled here, without ICU: its answers for ASCII are fixed (NFC leaves it as it
// is; its white space is tab to carriage return and space; only CR LF holds two characters
// together). ICU is loaded for the first text that needs it.
namespace platform::unicode {
namespace {

using detail::requiredIcuLibrary;

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD
constexpr UChar32 kReplacementCodePoint = 0xFFFD;

bool isAscii(char byte) { return static_cast<unsigned char>(byte) < 0x80; }

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char byte) { return isAscii(byte); });
}

void check(UErrorCode status, const char* what) {
  if (U_FAILURE(status)) {
    throw std::runtime_error(std::string(what) + ": " + requiredIcuLibrary().u_errorName(status));
  }
}

int32_t icuLength(std::size_t length) {
  if (length > static_cast<std::size_t>(INT32_MAX))
    throw std::length_error("text too long for ICU");
  return static_cast<int32_t>(length);
}

// What an ICU function writes into a buffer of `capacity` units, asked again with the capacity
// it needs when that was too small. `write(buffer, capacity, status)` returns the full length.
template <class Unit, class Write>
std::basic_string<Unit> written(int32_t capacity, const char* what, Write write) {
  std::basic_string<Unit> text(static_cast<std::size_t>(capacity), Unit{});
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = write(text.data(), capacity, status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    text.assign(static_cast<std::size_t>(length), Unit{});
    status = U_ZERO_ERROR;
    length = write(text.data(), length, status);
  }
  check(status, what);
  text.resize(static_cast<std::size_t>(length));
  return text;
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

// Where the code point that ends at `offset` begins, in valid UTF-8.
std::size_t codePointStartBefore(std::string_view valid, std::size_t offset) {
  do {
    --offset;
  } while (offset > 0 && U8_IS_TRAIL(valid[offset]));
  return offset;
}

bool isWhiteSpace(UChar32 c) {
  if (c < 0) return false;
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return requiredIcuLibrary().u_hasBinaryProperty(c, UCHAR_WHITE_SPACE) != 0;
}

std::u16string utf16(std::string_view text) {
  const auto& icu = requiredIcuLibrary();
  // Never more UTF-16 units than UTF-8 bytes.
  return written<char16_t>(icuLength(text.size()), "UTF-8 to UTF-16",
                           [&](char16_t* buffer, int32_t capacity, UErrorCode& status) {
                             int32_t length = 0;
                             icu.u_strFromUTF8WithSub(buffer, capacity, &length, text.data(),
                                                      static_cast<int32_t>(text.size()),
                                                      kReplacementCodePoint, nullptr, &status);
                             return length;
                           });
}

std::string utf8(const std::u16string& text) {
  const auto& icu = requiredIcuLibrary();
  return written<char>(icuLength(text.size()), "UTF-16 to UTF-8",
                       [&](char* buffer, int32_t capacity, UErrorCode& status) {
                         int32_t length = 0;
                         icu.u_strToUTF8(buffer, capacity, &length, text.data(),
                                         static_cast<int32_t>(text.size()), &status);
                         return length;
                       });
}

const UNormalizer2* nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* normalizer = requiredIcuLibrary().unorm2_getNFCInstance(&status);
  check(status, "ICU NFC normalizer");
  return normalizer;
}

struct BreaksClosing {
  void operator()(UBreakIterator* breaks) const { requiredIcuLibrary().ubrk_close(breaks); }
};

// Breaking rules are costly to load, and an iterator is not shareable across threads: one per
// thread, kept for the thread's life.
UBreakIterator* characterBreaks() {
  static thread_local std::unique_ptr<UBreakIterator, BreaksClosing> iterator;
  if (!iterator) {
    UErrorCode status = U_ZERO_ERROR;
    iterator.reset(requiredIcuLibrary().ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
    check(status, "ICU character break iterator");
  }
  return iterator.get();
}

// The boundary at or before `limit`, a code point's start in non-empty valid UTF-8, by ICU.
std::size_t characterBoundaryBefore(std::string_view text, std::size_t limit) {
  const auto& icu = requiredIcuLibrary();
  UErrorCode status = U_ZERO_ERROR;
  // UTF-8 text gives native indexes that are byte offsets.
  std::unique_ptr<UText, decltype(icu.utext_close)> utext(
      icu.utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status),
      icu.utext_close);
  check(status, "ICU UText");
  UBreakIterator* const breaks = characterBreaks();
  icu.ubrk_setUText(breaks, utext.get(), &status);
  check(status, "ICU break iterator text");
  const auto offset = static_cast<int32_t>(limit);
  const int32_t boundary =
      icu.ubrk_isBoundary(breaks, offset) != 0 ? offset : icu.ubrk_preceding(breaks, offset);
  // The iterator must not keep a pointer to text that goes away with this call.
  static constexpr UChar nothing[] = {0};
  icu.ubrk_setText(breaks, nothing, 0, &status);
  return boundary == UBRK_DONE ? 0 : static_cast<std::size_t>(boundary);
}

}  // namespace

std::string normalized(std::string_view text) {
  if (isAscii(text)) return std::string(text);
  const std::u16string source = utf16(text);
  const auto& icu = requiredIcuLibrary();
  const UNormalizer2* const normalizer = nfc();
  // NFC grows a text threefold at most.
  const std::u16string result = written<char16_t>(
      icuLength(source.size() * 3), "NFC normalization",
      [&](char16_t* buffer, int32_t capacity, UErrorCode& status) {
        return icu.unorm2_normalize(normalizer, source.data(), static_cast<int32_t>(source.size()),
                                    buffer, capacity, &status);
      });
  return utf8(result);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
  return a == b || normalized(a) == normalized(b);
}

std::string trimmingWhitespaceAndNewlines(std::string_view text) {
  // Repaired first, every ill-formed sequence is a U+FFFD, which is not white space.
  const std::string repaired = repairingUtf8(text);
  const std::string_view valid = repaired;
  std::size_t begin = 0;
  while (begin < valid.size()) {
    std::size_t next = begin;
    if (!isWhiteSpace(nextCodePoint(valid, next))) break;
    begin = next;
  }
  std::size_t end = valid.size();
  while (end > begin) {
    std::size_t start = codePointStartBefore(valid, end);
    std::size_t next = start;
    if (!isWhiteSpace(nextCodePoint(valid, next))) break;
    end = start;
  }
  return std::string(valid.substr(begin, end - begin));
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
  // Offsets inside a code point would make ICU look for the boundary before that code point's
  // start, which would lose one character: start from the code point that holds the limit.
  std::size_t limit = maxBytes;
  while (limit > 0 && U8_IS_TRAIL(text[limit])) --limit;
  if (limit == 0) return 0;
  // Between two ASCII characters there is a boundary, unless they are CR LF.
  if (isAscii(text[limit - 1]) && isAscii(text[limit])) {
    return text[limit - 1] == '\r' && text[limit] == '\n' ? limit - 1 : limit;
  }
  return characterBoundaryBefore(text, limit);
}

}  // namespace platform::unicode
