#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/app/sheet/SheetLayout.hpp"
#include "platform/app/views/View.hpp"

// The sheet as text: what the terminal and line renderers draw.
namespace platform::textSheet {

// Points per character cell, for laying a sheet out in a terminal.
inline constexpr double pointsPerColumn = 8;
inline constexpr double pointsPerRow = 18;

// The columns `text` (UTF-8) takes in a terminal: wide East Asian characters take two,
// combining marks none.
int displayWidth(std::string_view text);

// `text` broken into lines of at most `width` columns, at spaces where it can be, inside words
// where one is longer than a line.
std::vector<std::string> wrap(std::string_view text, int width);

// The sheet under `root` drawn in a frame of box-drawing characters, one string per terminal
// row, at most `maxColumns` wide. The root's direct subviews (labels, buttons and progress
// indicators, the last as their detail line) are placed as
// the window places them, in character cells (see sheetLayout::layOut): a label wraps within its
// room, and the frame grows taller where a label would run into a button. Right to left, the
// leading side is the right one, and a label's natural alignment with it. Other views are not
// drawn.
std::vector<std::string> draw(
    const View& root, int maxColumns,
    sheetLayout::Direction direction = sheetLayout::Direction::leftToRight);

// The direction a sheet reads in for `language`, a language or locale name as the environment
// gives it ("he", "ar_EG.UTF-8"; of a list such as LANGUAGE's, "fa:en", the first): right to
// left for a language written so, left to right for any other and for none ("", "C", "POSIX").
sheetLayout::Direction directionOf(std::string_view language);

// Every text the tree shows, labels in tree order, each whole on one line (line breaks inside
// a text become spaces).
std::vector<std::string> labelTexts(const View& root);

}  // namespace platform::textSheet
