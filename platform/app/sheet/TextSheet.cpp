#include "platform/app/sheet/TextSheet.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "platform/app/views/Button.hpp"
#include "platform/app/views/TextField.hpp"

namespace platform::textSheet {
namespace {

int columnsOf(UChar32 c) {
  if (c < 0) return 1;  // an ill-formed byte, shown as one replacement character
  const auto category = u_charType(c);
  if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK || category == U_FORMAT_CHAR)
    return 0;
  const auto width = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
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

// A view's place in cells, the top row 0.
struct Box {
  int column = 0;
  int row = 0;
  int width = 0;
  int height = 0;
  bool overlaps(const Box& other) const {
    return column < other.column + other.width && other.column < column + width &&
           row < other.row + other.height && other.row < row + height;
  }
};

struct Placed {
  std::shared_ptr<View> view;
  Box box;
  std::vector<std::string> lines;  // a label's wrapped text, or a button's face
  TextAlignment alignment = TextAlignment::center;
};

int cells(double points, double perCell) { return static_cast<int>(std::lround(points / perCell)); }

// The constraints between `view` and `root`, each written as view.attribute R root.attribute + c.
struct Edge {
  LayoutAttribute attribute;
  LayoutRelation relation;
  LayoutAttribute rootAttribute;
  double constant;
};

std::vector<Edge> edgesOf(const View& view, const View& root) {
  std::vector<Edge> edges;
  for (const auto& constraint : root.constraints()) {
    const auto first = constraint->firstItem();
    const auto second = constraint->secondItem();
    if (first.get() == &view && second.get() == &root) {
      edges.push_back({constraint->firstAttribute(), constraint->relation(),
                       constraint->secondAttribute(), constraint->constant()});
    } else if (first.get() == &root && second.get() == &view) {
      // root.a R view.b + c  is  view.b R' root.a − c, with the relation turned round.
      auto relation = constraint->relation();
      if (relation == LayoutRelation::lessThanOrEqual) {
        relation = LayoutRelation::greaterThanOrEqual;
      } else if (relation == LayoutRelation::greaterThanOrEqual) {
        relation = LayoutRelation::lessThanOrEqual;
      }
      edges.push_back({constraint->secondAttribute(), relation, constraint->firstAttribute(),
                       -constraint->constant()});
    }
  }
  return edges;
}

// The position of the root's attribute, in cells from the leading/top edge.
int rootPosition(LayoutAttribute attribute, int extent) {
  switch (attribute) {
    case LayoutAttribute::leading:
    case LayoutAttribute::top:
      return 0;
    case LayoutAttribute::trailing:
    case LayoutAttribute::bottom:
      return extent;
    case LayoutAttribute::centerX:
    case LayoutAttribute::centerY:
      return extent / 2;
  }
  return 0;
}

bool isStart(LayoutAttribute a) {
  return a == LayoutAttribute::leading || a == LayoutAttribute::top;
}
bool isEnd(LayoutAttribute a) {
  return a == LayoutAttribute::trailing || a == LayoutAttribute::bottom;
}
bool isCentre(LayoutAttribute a) {
  return a == LayoutAttribute::centerX || a == LayoutAttribute::centerY;
}
bool isHorizontal(LayoutAttribute a) {
  return a == LayoutAttribute::leading || a == LayoutAttribute::trailing ||
         a == LayoutAttribute::centerX;
}

// The room a view has along one axis, and where its start goes for a given size.
struct Axis {
  int low = 0;
  int high = 0;
  std::optional<int> start, end, centre;

  int place(int size) const {
    int at = low;
    if (centre) {
      at = *centre - size / 2;
    } else if (end) {
      at = *end - size;
    } else if (start) {
      at = *start;
    }
    return std::clamp(at, low, std::max(low, high - size));
  }
};

Axis axisOf(const std::vector<Edge>& edges, bool horizontal, int extent, double perCell) {
  Axis axis{0, extent, {}, {}, {}};
  for (const auto& edge : edges) {
    if (isHorizontal(edge.attribute) != horizontal) continue;
    const int at = rootPosition(edge.rootAttribute, extent) + cells(edge.constant, perCell);
    if (edge.relation == LayoutRelation::equal) {
      if (isStart(edge.attribute)) axis.start = at;
      if (isEnd(edge.attribute)) axis.end = at;
      if (isCentre(edge.attribute)) axis.centre = at;
    } else if (edge.relation == LayoutRelation::greaterThanOrEqual && isStart(edge.attribute)) {
      // Rounded inwards: the margin is never narrower than asked.
      axis.low = std::max(axis.low, rootPosition(edge.rootAttribute, extent) +
                                        static_cast<int>(std::ceil(edge.constant / perCell)));
    } else if (edge.relation == LayoutRelation::lessThanOrEqual && isEnd(edge.attribute)) {
      axis.high = std::min(axis.high, rootPosition(edge.rootAttribute, extent) +
                                          static_cast<int>(std::floor(edge.constant / perCell)));
    }
  }
  return axis;
}

std::vector<Placed> layOut(const View& root, int columns, int rows) {
  std::vector<Placed> placed;
  for (const auto& view : root.subviews()) {
    Placed item{view, {}, {}, TextAlignment::center};
    const auto edges = edgesOf(*view, root);
    const Axis across = axisOf(edges, true, columns, pointsPerColumn);
    const Axis down = axisOf(edges, false, rows, pointsPerRow);
    const int room = std::max(1, across.high - across.low);
    if (const auto* label = dynamic_cast<const TextField*>(view.get())) {
      item.lines = label->wraps() ? wrap(label->stringValue(), room)
                                  : std::vector<std::string>{label->stringValue()};
      item.alignment = label->alignment();
    } else if (const auto* button = dynamic_cast<const Button*>(view.get())) {
      item.lines = {"[ " + button->title() + " ]"};
    } else {
      continue;
    }
    int width = 0;
    for (const auto& line : item.lines) width = std::max(width, displayWidth(line));
    item.box.width = std::min(width, room);
    item.box.height = static_cast<int>(item.lines.size());
    item.box.column = across.place(item.box.width);
    item.box.row = down.place(item.box.height);
    placed.push_back(std::move(item));
  }
  return placed;
}

bool anyOverlap(const std::vector<Placed>& placed) {
  for (std::size_t i = 0; i < placed.size(); ++i) {
    for (std::size_t j = i + 1; j < placed.size(); ++j) {
      if (placed[i].box.overlaps(placed[j].box)) return true;
    }
  }
  return false;
}

// Writes `text` into `row` from `column` on; a row holds one string per cell.
void put(std::vector<std::string>& row, int column, std::string_view text) {
  std::size_t offset = 0;
  for (const auto& [bytes, width] : characters(text)) {
    if (column >= static_cast<int>(row.size())) return;
    if (width > 0 && column >= 0) {
      row[static_cast<std::size_t>(column)] = std::string(text.substr(offset, bytes));
      // A wide character covers the next cell too.
      for (int extra = 1; extra < width && column + extra < static_cast<int>(row.size()); ++extra) {
        row[static_cast<std::size_t>(column + extra)].clear();
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

std::vector<std::string> draw(const View& root, int maxColumns) {
  const int columns =
      std::max(4, std::min(maxColumns - 2, cells(root.frame().size.width, pointsPerColumn)));
  int rows = std::max(1, cells(root.frame().size.height, pointsPerRow));
  auto placed = layOut(root, columns, rows);
  for (int grown = 0; anyOverlap(placed) && grown < 200; ++grown)
    placed = layOut(root, columns, ++rows);

  std::vector<std::vector<std::string>> grid(
      static_cast<std::size_t>(rows),
      std::vector<std::string>(static_cast<std::size_t>(columns), " "));
  for (const auto& item : placed) {
    for (std::size_t i = 0; i < item.lines.size(); ++i) {
      const int row = item.box.row + static_cast<int>(i);
      if (row < 0 || row >= rows) continue;
      const int free = item.box.width - displayWidth(item.lines[i]);
      int indent = 0;
      if (item.alignment == TextAlignment::center) indent = free / 2;
      if (item.alignment == TextAlignment::right) indent = free;
      put(grid[static_cast<std::size_t>(row)], item.box.column + indent, item.lines[i]);
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
