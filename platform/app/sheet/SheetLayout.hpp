#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/app/views/View.hpp"

// Where a sheet's views go in a window, in points: the constraints between the root view and its
// direct subviews, read as the desktop platform reads them. Drawing-free, so any renderer that
// measures its own widgets can use it.
namespace platform::sheetLayout {

enum class Direction { leftToRight, rightToLeft };

// A rectangle with its origin at the top-left corner, y growing downwards, as windows count.
struct Frame {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool overlaps(const Frame& other) const;
  friend bool operator==(const Frame&, const Frame&) = default;
};

// The size a view takes when it may be at most `maxWidth` wide: a wrapping label wraps to fit.
using Measure = std::function<Size(const View& view, double maxWidth)>;

struct Placement {
  std::shared_ptr<View> view;
  Frame frame;
};

struct Geometry {
  Size size;  // the root's: its frame's size, taller where views would overlap
  std::vector<Placement> placements;  // the root's direct subviews, in subview order
};

// Lays out the direct subviews of `root`. Each is placed by its constraints to the root alone:
// equal centres or edges fix it, a leading edge "greater than or equal" and a trailing edge
// "less than or equal" bound the room it may take. Leading and trailing are the left and right
// edges left to right, and swap right to left, the constants mirrored with them; centres, tops
// and bottoms never mirror. Where two views would overlap, the root grows taller (never wider)
// until they do not, every constant kept; views without a constraint to the root stay at the
// root's top-left corner at their measured size.
Geometry layOut(const View& root, const Measure& measure, Direction direction);

}  // namespace platform::sheetLayout
