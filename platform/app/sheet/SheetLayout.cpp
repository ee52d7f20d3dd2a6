#include "platform/app/sheet/SheetLayout.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace platform::sheetLayout {
namespace {

// Attributes as laid out: leading and trailing have become left and right.
enum class Edge { start, end, centre };

bool isHorizontal(LayoutAttribute a) {
  return a == LayoutAttribute::leading || a == LayoutAttribute::trailing ||
         a == LayoutAttribute::centerX;
}

bool isDirectional(LayoutAttribute a) {
  return a == LayoutAttribute::leading || a == LayoutAttribute::trailing;
}

Edge edgeOf(LayoutAttribute a, Direction direction) {
  const bool mirrored = direction == Direction::rightToLeft;
  switch (a) {
    case LayoutAttribute::leading:
      return mirrored ? Edge::end : Edge::start;
    case LayoutAttribute::trailing:
      return mirrored ? Edge::start : Edge::end;
    case LayoutAttribute::top:
      return Edge::start;
    case LayoutAttribute::bottom:
      return Edge::end;
    case LayoutAttribute::centerX:
    case LayoutAttribute::centerY:
      return Edge::centre;
  }
  return Edge::start;
}

LayoutRelation reversed(LayoutRelation relation) {
  if (relation == LayoutRelation::lessThanOrEqual) return LayoutRelation::greaterThanOrEqual;
  if (relation == LayoutRelation::greaterThanOrEqual) return LayoutRelation::lessThanOrEqual;
  return relation;
}

// One constraint between a view and the root, written  view.edge R root.rootEdge + constant,
// along one axis, in window coordinates.
struct Bound {
  bool horizontal;
  Edge edge;
  LayoutRelation relation;
  Edge rootEdge;
  double constant;
};

std::vector<Bound> boundsOf(const View& view, const View& root, Direction direction) {
  std::vector<Bound> bounds;
  for (const auto& constraint : root.constraints()) {
    auto attribute = constraint->firstAttribute();
    auto rootAttribute = constraint->secondAttribute();
    auto relation = constraint->relation();
    double constant = constraint->constant();
    const auto first = constraint->firstItem();
    const auto second = constraint->secondItem();
    if (first.get() == &root && second.get() == &view) {
      // root.a R view.b + c  is  view.b R' root.a − c.
      std::swap(attribute, rootAttribute);
      relation = reversed(relation);
      constant = -constant;
    } else if (first.get() != &view || second.get() != &root) {
      continue;
    }
    const bool horizontal = isHorizontal(attribute);
    if (horizontal != isHorizontal(rootAttribute)) continue;
    // Right to left, distances towards the trailing side run leftwards.
    if (direction == Direction::rightToLeft &&
        (isDirectional(attribute) || isDirectional(rootAttribute))) {
      relation = reversed(relation);
      constant = -constant;
    }
    bounds.push_back({horizontal, edgeOf(attribute, direction), relation,
                      edgeOf(rootAttribute, direction), constant});
  }
  return bounds;
}

// How the layout counts: points per unit along each axis, and whether every position falls on a
// whole unit (a character cell).
struct Units {
  double across = 1;
  double down = 1;
  bool whole = false;
};

// A constant in points in the layout's units; on whole units, a bound rounds the way that keeps
// it.
double inUnits(double points, double perUnit, LayoutRelation relation, bool whole) {
  const double units = points / perUnit;
  if (!whole) return units;
  switch (relation) {
    case LayoutRelation::greaterThanOrEqual:
      return std::ceil(units);
    case LayoutRelation::lessThanOrEqual:
      return std::floor(units);
    case LayoutRelation::equal:
      break;
  }
  return std::round(units);
}

double half(double extent, bool whole) { return whole ? std::floor(extent / 2) : extent / 2; }

// Where a view may go along one axis of a root `extent` long.
struct Axis {
  bool whole = false;
  double low = 0;
  double high = 0;
  std::optional<double> start, end, centre;

  double room() const {
    if (start && end) return std::max(0.0, *end - *start);
    return std::max(0.0, high - low);
  }
  double place(double size) const {
    double at = low;
    if (start && end) return *start;
    if (centre) {
      at = *centre - half(size, whole);
    } else if (end) {
      at = *end - size;
    } else if (start) {
      at = *start;
    }
    return std::clamp(at, low, std::max(low, high - size));
  }
};

double rootPosition(Edge edge, double extent, bool whole) {
  switch (edge) {
    case Edge::start:
      return 0;
    case Edge::end:
      return extent;
    case Edge::centre:
      return half(extent, whole);
  }
  return 0;
}

Axis axisOf(const std::vector<Bound>& bounds, bool horizontal, double extent, const Units& units) {
  Axis axis{units.whole, 0, extent, {}, {}, {}};
  const double perUnit = horizontal ? units.across : units.down;
  for (const auto& bound : bounds) {
    if (bound.horizontal != horizontal) continue;
    const double at = rootPosition(bound.rootEdge, extent, units.whole) +
                      inUnits(bound.constant, perUnit, bound.relation, units.whole);
    if (bound.relation == LayoutRelation::equal) {
      if (bound.edge == Edge::start) axis.start = at;
      if (bound.edge == Edge::end) axis.end = at;
      if (bound.edge == Edge::centre) axis.centre = at;
    } else if (bound.relation == LayoutRelation::greaterThanOrEqual && bound.edge == Edge::start) {
      axis.low = std::max(axis.low, at);
    } else if (bound.relation == LayoutRelation::lessThanOrEqual && bound.edge == Edge::end) {
      axis.high = std::min(axis.high, at);
    }
  }
  return axis;
}

struct Measured {
  std::shared_ptr<View> view;
  std::vector<Bound> bounds;
  Frame frame;  // x and sizes final; y for the height last tried
};

bool anyOverlap(const std::vector<Measured>& views) {
  for (std::size_t i = 0; i < views.size(); ++i) {
    for (std::size_t j = i + 1; j < views.size(); ++j) {
      if (views[i].frame.overlaps(views[j].frame)) return true;
    }
  }
  return false;
}

void placeVertically(std::vector<Measured>& views, double height, const Units& units) {
  for (auto& item : views) {
    item.frame.y =
        axisOf(item.bounds, /*horizontal=*/false, height, units).place(item.frame.height);
  }
}

// More than any sheet needs, in points: past it, overlapping views would overlap at any height.
constexpr double maxGrowth = 4096;

Geometry layOut(const View& root, Size rootSize, const Measure& measure, Direction direction,
                const Units& units) {
  std::vector<Measured> views;
  for (const auto& view : root.subviews()) {
    Measured item{view, boundsOf(*view, root, direction), {}};
    const Axis across = axisOf(item.bounds, /*horizontal=*/true, rootSize.width, units);
    const Size size = measure(*view, across.room());
    item.frame.width = across.start && across.end ? across.room() : size.width;
    item.frame.height = size.height;
    item.frame.x = across.place(item.frame.width);
    views.push_back(std::move(item));
  }

  // Grown one unit at a time: a point in a window, a row in a terminal.
  double height = rootSize.height;
  placeVertically(views, height, units);
  while (anyOverlap(views) && height < rootSize.height + maxGrowth / units.down)
    placeVertically(views, ++height, units);
  if (anyOverlap(views)) {
    height = rootSize.height;
    placeVertically(views, height, units);
  }

  Geometry geometry{{rootSize.width, height}, {}};
  for (auto& item : views) geometry.placements.push_back({std::move(item.view), item.frame});
  return geometry;
}

}  // namespace

bool Frame::overlaps(const Frame& other) const {
  // An empty frame covers nothing, wherever it lies.
  if (width <= 0 || height <= 0 || other.width <= 0 || other.height <= 0) return false;
  return x < other.x + other.width && other.x < x + width && y < other.y + other.height &&
         other.y < y + height;
}

Geometry layOut(const View& root, const Measure& measure, Direction direction) {
  return layOut(root, root.frame().size, measure, direction, Units{});
}

Geometry layOut(const View& root, Size size, Cells cells, const Measure& measure,
                Direction direction) {
  return layOut(root, size, measure, direction, Units{cells.width, cells.height, true});
}

}  // namespace platform::sheetLayout
