#include "tests/window/SheetPicture.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace window_test {
namespace {

// Anything drawn differs from the background by more than this in some channel; fainter pixels
// are left-overs of smoothing.
constexpr int drawnDifference = 16;
// No glyph of the sheet's text is this tall; a push button is.
constexpr int buttonHeight = 24;

bool drawn(const Rgb& pixel, const Rgb& background) {
  return std::abs(pixel.red - background.red) > drawnDifference ||
         std::abs(pixel.green - background.green) > drawnDifference ||
         std::abs(pixel.blue - background.blue) > drawnDifference;
}

// The bounding boxes of the picture's drawn shapes, touching pixels (diagonals too) forming one.
std::vector<Box> shapes(const Image& picture) {
  const Rgb background = picture.at(0, 0);
  std::vector<bool> seen(picture.pixels.size(), false);
  std::vector<Box> found;
  std::vector<std::pair<int, int>> pending;
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const auto index = static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) +
                         static_cast<std::size_t>(x);
      if (seen[index] || !drawn(picture.pixels[index], background)) continue;
      Box box{x, y, x + 1, y + 1};
      seen[index] = true;
      pending.assign(1, {x, y});
      while (!pending.empty()) {
        const auto [px, py] = pending.back();
        pending.pop_back();
        box.include({px, py, px + 1, py + 1});
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            const int nx = px + dx;
            const int ny = py + dy;
            if (nx < 0 || ny < 0 || nx >= picture.width || ny >= picture.height) continue;
            const auto next =
                static_cast<std::size_t>(ny) * static_cast<std::size_t>(picture.width) +
                static_cast<std::size_t>(nx);
            if (seen[next] || !drawn(picture.pixels[next], background)) continue;
            seen[next] = true;
            pending.emplace_back(nx, ny);
          }
        }
      }
      found.push_back(box);
    }
  }
  return found;
}

bool contains(const Box& outer, const Box& inner) {
  return inner.left >= outer.left && inner.right <= outer.right && inner.top >= outer.top &&
         inner.bottom <= outer.bottom;
}

}  // namespace

void Image::save(const std::filesystem::path& path) const {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << width << " " << height << "\n255\n";
  for (const auto& pixel : pixels) {
    out.put(static_cast<char>(pixel.red));
    out.put(static_cast<char>(pixel.green));
    out.put(static_cast<char>(pixel.blue));
  }
}

void PrintTo(const Image& image, std::ostream* out) {
  std::size_t drawnPixels = 0;
  for (const auto& pixel : image.pixels) drawnPixels += pixel == image.pixels.front() ? 0 : 1;
  if (image.pixels.empty()) *out << "empty ";
  *out << image.width << "x" << image.height << " picture, " << drawnPixels
       << " pixels unlike its top-left one";
}

bool Box::overlaps(const Box& other) const {
  return !empty() && !other.empty() && left < other.right && other.left < right &&
         top < other.bottom && other.top < bottom;
}

void Box::include(const Box& other) {
  if (other.empty()) return;
  if (empty()) {
    *this = other;
    return;
  }
  left = std::min(left, other.left);
  top = std::min(top, other.top);
  right = std::max(right, other.right);
  bottom = std::max(bottom, other.bottom);
}

std::ostream& operator<<(std::ostream& out, const Box& box) {
  return out << "[" << box.left << ", " << box.top << " to " << box.right << ", " << box.bottom
             << "]";
}

SheetParts findSheetParts(const Image& picture) {
  SheetParts parts;
  if (picture.pixels.empty()) return parts;
  const auto all = shapes(picture);
  for (const auto& shape : all) {
    if (shape.height() < buttonHeight) continue;
    if (parts.button.empty() ||
        shape.width() * shape.height() > parts.button.width() * parts.button.height()) {
      parts.button = shape;
    }
  }
  for (const auto& shape : all) {
    if (!parts.button.empty() && contains(parts.button, shape)) continue;
    parts.text.include(shape);
  }
  return parts;
}

}  // namespace window_test
