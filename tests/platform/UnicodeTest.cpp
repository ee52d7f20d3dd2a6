#include "platform/Unicode.hpp"

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/detail/IcuLibrary.hpp"

namespace {

namespace unicode = platform::unicode;

TEST(UnicodeTest, TrimsWhiteSpaceAndLineBreaksAsUnicodeDefinesThem) {
  struct Case {
    std::string text;
    std::string trimmed;
  };
  const Case cases[] = {
      {" \t\nInterview\r\n", "Interview"},
      {"\v\fInterview\x1c", "Interview\x1c"},  // information separators are not White_Space
      {"\u0085Next line\u0085", "Next line"},
      {"\u00A0No-break\u00A0", "No-break"},
      {"\u2028Line\u2029", "Line"},
      {"\u3000\u540D\u524D\u3000", "\u540D\u524D"},
      {"\u1680\u2000\u2003\u2009\u200A\u202F\u205Fspaces\u2007", "spaces"},
      {"  inner  space  ", "inner  space"},
      {"a\u00A0b\u2028c", "a\u00A0b\u2028c"},
      {"\u200Bzero width\u200B", "\u200Bzero width\u200B"},  // not White_Space
      {"\uFEFFbom", "\uFEFFbom"},
      {" \u3000\n\u0085\u2029 ", ""},
      {"", ""},
      {"e\u0301 ", "e\u0301"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(unicode::trimmingWhitespaceAndNewlines(c.text), c.trimmed);
  }
}

TEST(UnicodeTest, TrimmingRepairsInvalidUtf8) {
  EXPECT_EQ(unicode::trimmingWhitespaceAndNewlines(" \xFF"
                                                   "a\xC3 "),
            "\uFFFDa\uFFFD");
  EXPECT_EQ(unicode::trimmingWhitespaceAndNewlines("\xC2\xA0\xC2"), "\uFFFD");
}

TEST(UnicodeTest, CanonicallyEquivalentTextsAreEqual) {
  struct Case {
    std::string a;
    std::string b;
    bool equal;
  };
  const Case cases[] = {
      {"caf\u00E9", "cafe\u0301", true},
      {"\u00C5ngstr\u00F6m", "A\u030Angstro\u0308m", true},
      {"\u212B", "\u00C5", true},                // ANGSTROM SIGN is a canonical singleton
      {"q\u0307\u0323", "q\u0323\u0307", true},  // combining marks in canonical order
      {"\uAC00", "\u1100\u1161", true},          // Hangul syllable and its jamo
      {"cafe", "caf\u00E9", false},
      {"isn\u2019t", "isn't", false},
      {"\uFB01", "fi", false},  // compatibility, not canonical
      {"", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " | " + c.b);
    EXPECT_EQ(unicode::canonicallyEqual(c.a, c.b), c.equal);
    EXPECT_EQ(unicode::canonicallyEqual(c.b, c.a), c.equal);
  }
  EXPECT_EQ(unicode::normalized("cafe\u0301"), "caf\u00E9");
  EXPECT_EQ(unicode::normalized("\u212B"), "\u00C5");
  EXPECT_EQ(unicode::normalized("plain"), "plain");
}

TEST(UnicodeTest, RepairReplacesEachIllFormedSequence) {
  struct Case {
    std::string text;
    std::string repaired;
  };
  const Case cases[] = {
      {"valid caf\u00E9 \U0001F44D", "valid caf\u00E9 \U0001F44D"},
      {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
      {"\xFF", "\uFFFD"},
      {"a\xC3", "a\uFFFD"},          // cut short
      {"\xC3(", "\uFFFD("},          // missing continuation
      {"\xC0\xAF", "\uFFFD\uFFFD"},  // overlong "/"
      {"\xE0\x80\xAF", "\uFFFD\uFFFD\uFFFD"},
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},  // a surrogate
      {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xF0\x9F\x91", "\uFFFD"},  // the start of a 4-byte form
      {"\x80\x80", "\uFFFD\uFFFD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    EXPECT_EQ(unicode::repairingUtf8(c.text), c.repaired);
  }
}

TEST(UnicodeTest, PrefixEndsOnACharacterBoundary) {
  struct Case {
    std::string text;
    std::size_t maxBytes;
    std::size_t length;
  };
  const std::string thumbsUp = "\U0001F44D\U0001F3FD";  // 4 + 4 bytes, one character
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // 18 bytes
  const Case cases[] = {
      {"abc", 10, 3},
      {"abcdef", 3, 3},
      {"a\u00E9", 2, 1},
      {"a\u00E9", 3, 3},
      {"a\u00E9", 1, 1},
      {"\u00E9\u00E9", 2, 2},  // the limit falls right before a character: nothing more is lost
      {"\u00E9\u00E9", 3, 2},
      {"e\u0301x", 2, 0},  // "e" and its combining mark stay together
      {"e\u0301x", 3, 3},
      {thumbsUp, 7, 0},
      {"a" + thumbsUp, 8, 1},
      {"a" + thumbsUp + "b", 9, 9},
      {family + "x", 17, 0},
      {family + "x", 18, 18},
      {"ab\r\n", 3, 2},  // CR LF is one character
      {"\r\nx", 1, 0},
      {"ae\u0301", 2, 1},             // an ASCII letter before the limit, its mark after it
      {"\u1100\u1161\u11A8z", 8, 0},  // one Hangul syllable written as three jamo
      {"", 0, 0},
      {"abc", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text + " within " + std::to_string(c.maxBytes));
    EXPECT_EQ(unicode::prefixLengthAtCharacterBoundary(c.text, c.maxBytes), c.length);
  }
}

// ASCII text is answered without ICU: every answer must be ICU's own.
TEST(UnicodeTest, AsciiWhiteSpaceAndCharacterBoundariesAreIcus) {
  const auto& icu = platform::detail::requiredIcuLibrary();
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UBreakIterator, decltype(icu.ubrk_close)> breaks(
      icu.ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status), icu.ubrk_close);
  ASSERT_TRUE(U_SUCCESS(status)) << icu.u_errorName(status);
  std::vector<std::string> differences;
  for (char16_t a = 0; a < 0x80; ++a) {
    const bool whiteSpace = icu.u_hasBinaryProperty(a, UCHAR_WHITE_SPACE) != 0;
    if (unicode::trimmingWhitespaceAndNewlines(std::string(1, static_cast<char>(a))).empty() !=
        whiteSpace) {
      differences.push_back("white space " + std::to_string(a));
    }
    for (char16_t b = 0; b < 0x80; ++b) {
      const char16_t pair[] = {a, b};
      icu.ubrk_setText(breaks.get(), pair, 2, &status);
      ASSERT_TRUE(U_SUCCESS(status)) << icu.u_errorName(status);
      const std::size_t expected = icu.ubrk_isBoundary(breaks.get(), 1) != 0 ? 1 : 0;
      const std::string text{static_cast<char>(a), static_cast<char>(b), 'x'};
      if (unicode::prefixLengthAtCharacterBoundary(text, 1) != expected) {
        differences.push_back("boundary " + std::to_string(a) + " " + std::to_string(b));
      }
    }
  }
  EXPECT_EQ(differences, std::vector<std::string>{});
}

TEST(UnicodeTest, PrefixIsSafeFromManyThreads) {
  std::vector<std::thread> threads;
  std::vector<std::size_t> lengths(8);
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    threads.emplace_back([&lengths, i] {
      std::size_t length = 0;
      for (int round = 0; round < 200; ++round) {
        length = unicode::prefixLengthAtCharacterBoundary("Inte\u0301rview \u00E9\u00E9", 5);
      }
      lengths[i] = length;
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto length : lengths) EXPECT_EQ(length, 3u);
}

}  // namespace
