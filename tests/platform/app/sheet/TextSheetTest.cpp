// The sheet as the terminal shows it: text broken into lines, and the frame drawn with the views
// placed by the same layout as the window's, counted in character cells.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/app/sheet/TextSheet.hpp"
#include "platform/app/views/TextField.hpp"
#include "tests/support/ShareSheet.hpp"

namespace {

using platform::TextAlignment;
using platform::sheetLayout::Direction;
namespace textSheet = platform::textSheet;

TEST(TextSheetTest, DisplayWidthCountsTerminalColumns) {
  struct Case {
    const char* text;
    int columns;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 3},
      {"\u65e5\u672c", 4},  // wide: two columns each
      {"e\u0301", 1},       // a combining accent takes none
      {"\xff", 1},          // an ill-formed byte shows as one replacement character
      {"a\u200bb", 2},      // a zero-width space
      {"\uff21\uff22", 4},  // fullwidth Latin letters
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(textSheet::displayWidth(c.text), c.columns);
  }
}

TEST(TextSheetTest, WrapBreaksAtSpacesAndInsideWordsLongerThanALine) {
  struct Case {
    const char* name;
    const char* text;
    int width;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"empty text is one empty line", "", 10, {""}},
      {"fits whole", "one two three", 20, {"one two three"}},
      {"fits exactly", "one two", 7, {"one two"}},
      {"breaks at the last space that fits", "one two three", 7, {"one two", "three"}},
      {"runs of spaces collapse", "  spaced   out  ", 20, {"spaced out"}},
      {"line breaks kept, empty lines too", "a\n\nb", 5, {"a", "", "b"}},
      {"a closing line break adds no line", "trailing\n", 20, {"trailing"}},
      {"a long word cut, on lines of its own", "a bcdefg", 4, {"a", "bcde", "fg"}},
      {"a long word cut where nothing else fits", "xxxxxxxxxx", 4, {"xxxx", "xxxx", "xx"}},
      {"wide characters never split across lines",
       "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8",
       5,
       {"\u65e5\u672c", "\u8a9e\u306e", "\u30c6\u30ad", "\u30b9\u30c8"}},
      {"a wide character alone where one column is all", "\u65e5\u672c", 1, {"\u65e5", "\u672c"}},
      {"a combining accent stays with its letter",
       "cafe\u0301 au lait",
       4,
       {"cafe\u0301", "au", "lait"}},
      {"no room still shows a character a line", "ab", 0, {"a", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(textSheet::wrap(c.text, c.width), c.lines);
  }
}

TEST(TextSheetTest, DirectionFollowsTheLanguage) {
  struct Case {
    const char* language;
    Direction direction;
  };
  const Case cases[] = {
      {"", Direction::leftToRight},
      {"C", Direction::leftToRight},
      {"POSIX", Direction::leftToRight},
      {"C.UTF-8", Direction::leftToRight},
      {"en_GB.UTF-8", Direction::leftToRight},
      {"he", Direction::rightToLeft},
      {"ar_EG.UTF-8", Direction::rightToLeft},
      {"fa_IR@calendar", Direction::rightToLeft},
      {"fa:en", Direction::rightToLeft},  // a list: the first counts
      {"en:he", Direction::leftToRight},
      {"sr@latin", Direction::leftToRight},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    EXPECT_EQ(textSheet::directionOf(c.language), c.direction);
  }
}

// Rows inside the frame, framed as draw frames them.
std::vector<std::string> framed(const std::vector<std::string>& inside) {
  const auto columns = static_cast<std::size_t>(textSheet::displayWidth(inside.front()));
  std::string rule;
  for (std::size_t i = 0; i < columns; ++i) rule += "\u2500";
  std::vector<std::string> rows{"\u256d" + rule + "\u256e"};
  for (const auto& row : inside) rows.push_back("\u2502" + row + "\u2502");
  rows.push_back("\u2570" + rule + "\u256f");
  return rows;
}

constexpr const char* status = "Sending to KelpWord\u2026";
constexpr const char* openFirst =
    "Open KelpWord once first, so it can receive recordings. Then share the recording again.";

// The share sheet (340 by 90 points: 43 columns by 5 rows) with `text`, failed with a Close
// button when `failed`.
testing_support::ShareSheet shareSheet(const std::string& text, bool failed,
                                       TextAlignment alignment = TextAlignment::center) {
  testing_support::ShareSheet sheet(text);
  sheet.label->setAlignment(alignment);
  if (failed) sheet.fail(text);
  return sheet;
}

TEST(TextSheetTest, DrawPlacesTheViewsByTheirConstraintsInCells) {
  struct Case {
    const char* name;
    std::function<testing_support::ShareSheet()> build;
    int maxColumns = 200;
    Direction direction = Direction::leftToRight;
    std::vector<std::string> inside;
  };
  const Case cases[] = {
      {.name = "the status, centred",
       .build = [] { return shareSheet(status, false); },
       .inside = {"                                           ",
                  "                                           ",
                  "           Sending to KelpWord\u2026            ",
                  "                                           ",
                  "                                           "}},
      // The centre is the cell left of the middle either way: centres never mirror.
      {.name = "the status right to left",
       .build = [] { return shareSheet(status, false); },
       .direction = Direction::rightToLeft,
       .inside = {"                                           ",
                  "                                           ",
                  "           Sending to KelpWord\u2026            ",
                  "                                           ",
                  "                                           "}},
      // Close ends 16 points (2 columns) from the trailing edge, 12 points (1 row) from the
      // bottom.
      {.name = "a short failure beside Close",
       .build = [] { return shareSheet("No sound", true); },
       .inside = {"                                           ",
                  "                                           ",
                  "                 No sound                  ",
                  "                                [ Close ]  ",
                  "                                           "}},
      {.name = "a short failure right to left",
       .build = [] { return shareSheet("No sound", true); },
       .direction = Direction::rightToLeft,
       .inside = {"                                           ",
                  "                                           ",
                  "                 No sound                  ",
                  "  [ Close ]                                ",
                  "                                           "}},
      // Wrapped within 20 points (3 columns) of either side and centred; the frame grows by
      // rows until the message ends above Close.
      {.name = "a long failure grows taller",
       .build = [] { return shareSheet(openFirst, true); },
       .inside = {"                                           ",
                  "                                           ",
                  "    Open KelpWord once first, so it can    ",
                  "    receive recordings. Then share the     ",
                  "             recording again.              ",
                  "                                [ Close ]  ",
                  "                                           "}},
      {.name = "a long failure right to left",
       .build = [] { return shareSheet(openFirst, true); },
       .direction = Direction::rightToLeft,
       .inside = {"                                           ",
                  "                                           ",
                  "    Open KelpWord once first, so it can    ",
                  "    receive recordings. Then share the     ",
                  "             recording again.              ",
                  "  [ Close ]                                ",
                  "                                           "}},
      // A natural alignment follows the direction; left and right do not.
      {.name = "natural alignment left to right",
       .build = [] { return shareSheet(openFirst, false, TextAlignment::natural); },
       .inside = {"                                           ",
                  "    Open KelpWord once first, so it can    ",
                  "    receive recordings. Then share the     ",
                  "    recording again.                       ",
                  "                                           "}},
      {.name = "natural alignment right to left",
       .build = [] { return shareSheet(openFirst, false, TextAlignment::natural); },
       .direction = Direction::rightToLeft,
       .inside = {"                                           ",
                  "    Open KelpWord once first, so it can    ",
                  "     receive recordings. Then share the    ",
                  "                       recording again.    ",
                  "                                           "}},
      {.name = "right alignment right to left",
       .build = [] { return shareSheet(openFirst, false, TextAlignment::right); },
       .direction = Direction::rightToLeft,
       .inside = {"                                           ",
                  "    Open KelpWord once first, so it can    ",
                  "     receive recordings. Then share the    ",
                  "                       recording again.    ",
                  "                                           "}},
      // Narrower than the sheet: the frame takes the terminal's width, the margins stay.
      {.name = "a narrow terminal",
       .build = [] { return shareSheet(status, false); },
       .maxColumns = 20,
       .inside = {"                  ", "    Sending to    ", "    KelpWord\u2026     ",
                  "                  ", "                  "}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto sheet = c.build();
    EXPECT_EQ(textSheet::draw(*sheet.root, c.maxColumns, c.direction), framed(c.inside));
  }
}

TEST(TextSheetTest, DrawLeavesOutViewsItCannotDraw) {
  auto sheet = shareSheet(status, false);
  auto plain = std::make_shared<platform::View>(platform::Rect{{0, 0}, {340, 90}});
  sheet.root->addSubview(plain);
  platform::LayoutConstraint::activateConstraints({
      plain->centerXAnchor().constraintEqualTo(sheet.root->centerXAnchor()),
      plain->centerYAnchor().constraintEqualTo(sheet.root->centerYAnchor()),
  });
  EXPECT_EQ(textSheet::draw(*sheet.root, 200),
            textSheet::draw(*shareSheet(status, false).root, 200))
      << "neither drawn nor in the way of the label";
}

}  // namespace
