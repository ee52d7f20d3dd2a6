#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/app/views/View.hpp"

// Where a sheet's views go, read from the constraints between the root view and its direct
// subviews as the desktop platform reads them: in points for a window, in character cells for a
// terminal. Drawing-free, so any renderer that measures its own widgets can use it.
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
// Counted in the layout's units. A view with nothing to show measures empty and overlaps nothing.
using Measure = std::function<Size(const View& view, double maxWidth)>;

// A character cell's size in points, for laying a sheet out in a terminal.
struct Cells {
  double width = 0;
  double height = 0;
};

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
// root's top-left corner at their measured size. Counted in points, the root as large as its
// frame.
Geometry layOut(const View& root, const Measure& measure, Direction direction);

// The same in character cells for a root `size` cells large: the measure, the frames and the
// size count whole cells. A constant in points becomes the nearest whole number of cells, except
// that a bound ("greater than or equal", "less than or equal") is rounded the way that still
// keeps it, so a margin is never narrower than asked; a centre is the cell left of the middle
// where the middle falls between two. The root grows by whole rows.
Geometry layOut(const View& root, Size size, Cells cells, const Measure& measure,
                Direction direction);

}  // namespace platform::sheetLayout
