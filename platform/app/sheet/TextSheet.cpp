#include "platform/app/sheet/TextSheet.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include <unicode/utf8.h>

#include "platform/app/sheet/SheetLayout.hpp"
#include "platform/app/views/Button.hpp"
#include "platform/app/views/ProgressIndicator.hpp"
#include "platform/app/views/TextField.hpp"
#include "platform/detail/IcuLibrary.hpp"

namespace platform::textSheet {
namespace {

int columnsOf(UChar32 c) {
  if (c < 0) return 1;  // an ill-formed byte, shown as one replacement character
  if (c < 0x80) return 1;
  // Without ICU, as when its library is missing, a message is still shown, its columns guessed.
  const auto* const icu = detail::icuLibrary();
  if (icu == nullptr) return 1;
  const auto category = icu->u_charType(c);
  if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK || category == U_FORMAT_CHAR)
    return 0;
  const auto width = icu->u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
  return width == U_EA_WIDE || width == U_EA_FULLWIDTH ? 2 : 1;
}

// The byte lengths of `text`'s characters with their widths.
std::vector<std::pair<std::size_t, int>> characters(std::string_view text) {
  std::vector<std::pair<std::size_t, int>> result;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    result.emplace_back(static_cast<std::size_t>(i - start), columnsOf(c));
  }
  return result;
}

int cells(double points, double perCell) { return static_cast<int>(std::lround(points / perCell)); }

// What a label, a button or a progress bar shows in the terminal when it may take `columns`: a
// label's text, wrapped where it wraps, a button's face, or a progress bar's line. Nothing for a
// view the terminal cannot draw.
std::vector<std::string> faceOf(const View& view, int columns) {
  if (const auto* label = dynamic_cast<const TextField*>(&view)) {
    if (label->wraps()) return wrap(label->stringValue(), columns);
    return {label->stringValue()};
  }
  if (const auto* button = dynamic_cast<const Button*>(&view))
    return {"[ " + button->title() + " ]"};
  // A bar of a few dozen cells would say less than its line does.
  if (const auto* progress = dynamic_cast<const ProgressIndicator*>(&view))
    return progress->detail().empty() ? std::vector<std::string>{}
                                      : wrap(progress->detail(), columns);
  return {};
}

// Where a line `width` columns wide starts in a box `room` columns wide.
int indentOf(TextAlignment alignment, int width, int room, sheetLayout::Direction direction) {
  const int free = room - width;
  const bool mirrored = direction == sheetLayout::Direction::rightToLeft;
  switch (alignment) {
    case TextAlignment::center:
      return free / 2;
    case TextAlignment::right:
      return free;
    case TextAlignment::left:
      return 0;
    case TextAlignment::natural:
    case TextAlignment::justified:
      break;
  }
  return mirrored ? free : 0;
}

// Writes `text` into `row` from `column` on; a row holds one string per cell.
void put(std::vector<std::string>& row, int column, std::string_view text) {
  std::size_t offset = 0;
  for (const auto& [bytes, width] : characters(text)) {
    if (column >= static_cast<int>(row.size())) return;
    if (width > 0 && column >= 0) {
      row[static_cast<std::size_t>(column)] = std::string(text.substr(offset, bytes));
      // A wide character covers the next cell too.
      for (int cell = column + 1; cell < column + width && cell < static_cast<int>(row.size());
           ++cell) {
        row[static_cast<std::size_t>(cell)].clear();
      }
    } else if (column > 0) {
      row[static_cast<std::size_t>(column - 1)] += std::string(text.substr(offset, bytes));
    }
    column += width;
    offset += bytes;
  }
}

}  // namespace

int displayWidth(std::string_view text) {
  int width = 0;
  for (const auto& character : characters(text)) width += character.second;
  return width;
}

std::vector<std::string> wrap(std::string_view text, int width) {
  width = std::max(width, 1);
  std::vector<std::string> lines;
  std::string line;
  int lineWidth = 0;
  auto flush = [&] {
    lines.push_back(line);
    line.clear();
    lineWidth = 0;
  };
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\n') {
      flush();
      ++i;
      continue;
    }
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    const auto end = text.find_first_of(" \n", i);
    std::string_view word =
        text.substr(i, end == std::string_view::npos ? text.size() - i : end - i);
    i += word.size();
    const int wordWidth = displayWidth(word);
    if (lineWidth > 0 && lineWidth + 1 + wordWidth <= width) {
      line += ' ';
      line += word;
      lineWidth += 1 + wordWidth;
      continue;
    }
    if (lineWidth > 0) flush();
    // A word longer than a line is cut at character boundaries.
    std::size_t offset = 0;
    for (const auto& [bytes, columns] : characters(word)) {
      if (lineWidth + columns > width && lineWidth > 0) flush();
      line += word.substr(offset, bytes);
      lineWidth += columns;
      offset += bytes;
    }
  }
  if (!line.empty() || lines.empty()) flush();
  return lines;
}

std::vector<std::string> draw(const View& root, int maxColumns, sheetLayout::Direction direction) {
  const int columns =
      std::max(4, std::min(maxColumns - 2, cells(root.frame().size.width, pointsPerColumn)));
  const int rows = std::max(1, cells(root.frame().size.height, pointsPerRow));
  // Each view's lines as measured, to draw them as they were laid out.
  std::map<const View*, std::vector<std::string>> faces;
  const auto measure = [&faces](const View& view, double room) -> Size {
    // Never narrower than one column, so that a squeezed label still shows, a cell at a time.
    const int fitting = std::max(1, static_cast<int>(room));
    auto lines = faceOf(view, fitting);
    int width = 0;
    for (const auto& line : lines) width = std::max(width, displayWidth(line));
    const Size size{static_cast<double>(std::min(width, fitting)),
                    static_cast<double>(lines.size())};
    faces[&view] = std::move(lines);
    return size;
  };
  const auto geometry =
      sheetLayout::layOut(root, {static_cast<double>(columns), static_cast<double>(rows)},
                          {pointsPerColumn, pointsPerRow}, measure, direction);

  const auto height = static_cast<std::size_t>(std::lround(geometry.size.height));
  std::vector<std::vector<std::string>> grid(
      height, std::vector<std::string>(static_cast<std::size_t>(columns), " "));
  for (const auto& [view, frame] : geometry.placements) {
    const auto& lines = faces[view.get()];
    const auto* label = dynamic_cast<const TextField*>(view.get());
    const auto alignment = label ? label->alignment() : TextAlignment::center;
    const auto column = static_cast<int>(std::lround(frame.x));
    const auto width = static_cast<int>(std::lround(frame.width));
    const auto top = static_cast<int>(std::lround(frame.y));
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const int row = top + static_cast<int>(i);
      if (row < 0 || row >= static_cast<int>(height)) continue;
      const int indent = indentOf(alignment, displayWidth(lines[i]), width, direction);
      put(grid[static_cast<std::size_t>(row)], column + indent, lines[i]);
    }
  }
  std::string rule;
  for (int i = 0; i < columns; ++i) rule += "\u2500";
  std::vector<std::string> out{"\u256d" + rule + "\u256e"};
  for (const auto& row : grid) {
    std::string line = "\u2502";
    for (const auto& cell : row) line += cell;
    out.push_back(line + "\u2502");
  }
  out.push_back("\u2570" + rule + "\u256f");
  return out;
}

sheetLayout::Direction directionOf(std::string_view language) {
  // The language alone: the codeset and modifier of a locale name say nothing of direction.
  const auto name = std::string(language.substr(0, language.find_first_of(":.@")));
  if (name.empty() || name == "C" || name == "POSIX") return sheetLayout::Direction::leftToRight;
  const auto* const icu = detail::icuLibrary();
  return icu != nullptr && icu->uloc_isRightToLeft(name.c_str()) != 0
             ? sheetLayout::Direction::rightToLeft
             : sheetLayout::Direction::leftToRight;
}

std::vector<std::string> labelTexts(const View& root) {
  std::vector<std::string> texts;
  if (const auto* label = dynamic_cast<const TextField*>(&root)) {
    std::string text = label->stringValue();
    std::replace(text.begin(), text.end(), '\n', ' ');
    texts.push_back(std::move(text));
  }
  for (const auto& view : root.subviews()) {
    for (auto& text : labelTexts(*view)) texts.push_back(std::move(text));
  }
  return texts;
}

}  // namespace platform::textSheet
