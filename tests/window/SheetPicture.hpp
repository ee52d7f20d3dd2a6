#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <vector>

namespace window_test {

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// A picture of a window, row by row from the top-left corner.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;

  const Rgb& at(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
  // As a binary PPM file, to look at when a test fails.
  void save(const std::filesystem::path& path) const;
  friend bool operator==(const Image&, const Image&) = default;
};
// For test messages: the size, and how many pixels differ from a blank picture's first.
void PrintTo(const Image& image, std::ostream* out);

// A rectangle of pixels; right and bottom are one past the last column and row.
struct Box {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  bool empty() const { return right <= left || bottom <= top; }
  int width() const { return right - left; }
  int height() const { return bottom - top; }
  bool overlaps(const Box& other) const;
  void include(const Box& other);
  friend bool operator==(const Box&, const Box&) = default;
};
std::ostream& operator<<(std::ostream& out, const Box& box);

// What a sheet shows, found in its picture: the pixels that differ from the window's background
// (its top-left pixel) form shapes; the button is the one shape as tall as a button (its frame,
// with what lies inside it), and the label's text is every other shape.
struct SheetParts {
  Box button;  // empty without a button
  Box text;    // empty without text
};
SheetParts findSheetParts(const Image& picture);

}  // namespace window_test
