// Where a sheet's label and button go in a window, read from the constraints, left to right and
// right to left, and how the sheet grows where the label would run under the button.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "platform/app/sheet/SheetLayout.hpp"
#include "platform/app/views/Button.hpp"
#include "platform/app/views/TextField.hpp"
#include "tests/support/ShareSheet.hpp"

namespace {

using platform::LayoutConstraint;
using platform::sheetLayout::Direction;
using platform::sheetLayout::Frame;

// Text set at 10 points a byte and 17 points a line; a button 64 by 34.
constexpr double characterWidth = 10;
constexpr double lineHeight = 17;
constexpr platform::Size buttonSize{64, 34};

platform::Size fakeMeasure(const platform::View& view, double maxWidth) {
  if (const auto* label = dynamic_cast<const platform::TextField*>(&view)) {
    const double oneLine = characterWidth * static_cast<double>(label->stringValue().size());
    const double width = std::min(oneLine, std::floor(maxWidth / characterWidth) * characterWidth);
    return {width, lineHeight * std::ceil(oneLine / width)};
  }
  return buttonSize;
}

struct Sheet {
  std::shared_ptr<platform::View> root;
  std::shared_ptr<platform::TextField> label;
  std::shared_ptr<platform::Button> button;
};

// The share sheet as its controller builds it.
Sheet shareSheet(const std::string& text, bool failed) {
  testing_support::ShareSheet sheet(text);
  if (failed) sheet.fail(text);
  return {sheet.root, sheet.label, sheet.button};
}

// The same sheet with each constraint written the other way round (root first), as equivalent
// constraints may be.
Sheet reversedSheet(const std::string& text, bool failed) {
  Sheet sheet{std::make_shared<platform::View>(platform::Rect{{0, 0}, {340, 90}}),
              platform::TextField::wrappingLabel(text), nullptr};
  auto& root = sheet.root;
  auto& label = sheet.label;
  label->setTranslatesAutoresizingMaskIntoConstraints(false);
  root->addSubview(label);
  LayoutConstraint::activateConstraints({
      root->centerXAnchor().constraintEqualTo(label->centerXAnchor()),
      root->centerYAnchor().constraintEqualTo(label->centerYAnchor()),
      root->leadingAnchor().constraintLessThanOrEqualTo(label->leadingAnchor(), -20),
      root->trailingAnchor().constraintGreaterThanOrEqualTo(label->trailingAnchor(), 20),
  });
  if (failed) {
    sheet.button = platform::Button::withTitle("Close", [] {});
    sheet.button->setTranslatesAutoresizingMaskIntoConstraints(false);
    root->addSubview(sheet.button);
    LayoutConstraint::activateConstraints({
        root->trailingAnchor().constraintEqualTo(sheet.button->trailingAnchor(), 16),
        root->bottomAnchor().constraintEqualTo(sheet.button->bottomAnchor(), 12),
    });
  }
  return sheet;
}

// A label whose centre sits 10 points right of the root's: centres never mirror.
Sheet offCentreSheet(const std::string& text, bool /*failed*/) {
  Sheet sheet{std::make_shared<platform::View>(platform::Rect{{0, 0}, {340, 90}}),
              platform::TextField::wrappingLabel(text), nullptr};
  sheet.root->addSubview(sheet.label);
  LayoutConstraint::activateConstraints({
      sheet.label->centerXAnchor().constraintEqualTo(sheet.root->centerXAnchor(), 10),
      sheet.label->topAnchor().constraintEqualTo(sheet.root->topAnchor(), 5),
  });
  return sheet;
}

const std::string status = "Sending to KelpWord\u2026";  // 22 bytes: 220 points
const std::string shortMessage = "No sound";             // 80 points
const std::string longMessage(100, 'x');                 // 1000 points: 4 lines of 300

struct Case {
  const char* name;
  std::function<Sheet(const std::string&, bool)> build;
  const std::string& text;
  bool failed;
  Direction direction;
  platform::Size size;
  Frame label;
  Frame button;  // unused without a failure
};

const Case cases[] = {
    {"status sheet",
     shareSheet,
     status,
     false,
     Direction::leftToRight,
     {340, 90},
     {60, 36.5, 220, 17},
     {}},
    {"long status wraps within the margins",
     shareSheet,
     longMessage,
     false,
     Direction::leftToRight,
     {340, 90},
     {20, 11, 300, 68},
     {}},
    {"short failure beside the button",
     shareSheet,
     shortMessage,
     true,
     Direction::leftToRight,
     {340, 90},
     {130, 36.5, 80, 17},
     {260, 44, 64, 34}},
    // The label's bottom, H/2 + 34, must not pass the button's top, H − 46: H = 160.
    {"long failure grows taller",
     shareSheet,
     longMessage,
     true,
     Direction::leftToRight,
     {340, 160},
     {20, 46, 300, 68},
     {260, 114, 64, 34}},
    {"right to left mirrors the button",
     shareSheet,
     shortMessage,
     true,
     Direction::rightToLeft,
     {340, 90},
     {130, 36.5, 80, 17},
     {16, 44, 64, 34}},
    {"right to left long failure",
     shareSheet,
     longMessage,
     true,
     Direction::rightToLeft,
     {340, 160},
     {20, 46, 300, 68},
     {16, 114, 64, 34}},
    {"constraints written root first",
     reversedSheet,
     longMessage,
     true,
     Direction::leftToRight,
     {340, 160},
     {20, 46, 300, 68},
     {260, 114, 64, 34}},
    {"constraints written root first, right to left",
     reversedSheet,
     longMessage,
     true,
     Direction::rightToLeft,
     {340, 160},
     {20, 46, 300, 68},
     {16, 114, 64, 34}},
    {"centre offset left to right",
     offCentreSheet,
     shortMessage,
     false,
     Direction::leftToRight,
     {340, 90},
     {140, 5, 80, 17},
     {}},
    {"centre offset right to left",
     offCentreSheet,
     shortMessage,
     false,
     Direction::rightToLeft,
     {340, 90},
     {140, 5, 80, 17},
     {}},
};

TEST(SheetLayoutTest, PlacesLabelAndButtonByTheirConstraints) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto sheet = c.build(c.text, c.failed);
    const auto geometry = platform::sheetLayout::layOut(*sheet.root, fakeMeasure, c.direction);
    EXPECT_EQ(geometry.size, c.size);
    ASSERT_EQ(geometry.placements.size(), c.failed ? 2u : 1u);
    EXPECT_EQ(geometry.placements[0].view, sheet.label);
    EXPECT_EQ(geometry.placements[0].frame, c.label);
    if (c.failed) {
      EXPECT_EQ(geometry.placements[1].view, sheet.button);
      EXPECT_EQ(geometry.placements[1].frame, c.button);
      EXPECT_FALSE(geometry.placements[0].frame.overlaps(geometry.placements[1].frame));
    }
  }
}

TEST(SheetLayoutTest, ViewsThatOverlapAtAnyHeightLeaveTheSheetAsItIs) {
  auto root = std::make_shared<platform::View>(platform::Rect{{0, 0}, {340, 90}});
  auto first = platform::TextField::wrappingLabel("first");
  auto second = platform::TextField::wrappingLabel("second");
  root->addSubview(first);
  root->addSubview(second);
  for (const auto& label : {first, second}) {
    LayoutConstraint::activateConstraints({
        label->centerXAnchor().constraintEqualTo(root->centerXAnchor()),
        label->centerYAnchor().constraintEqualTo(root->centerYAnchor()),
    });
  }
  const auto geometry = platform::sheetLayout::layOut(*root, fakeMeasure, Direction::leftToRight);
  EXPECT_EQ(geometry.size, (platform::Size{340, 90}));
}

TEST(SheetLayoutTest, AViewWithoutConstraintsStaysAtTheTopLeftAtItsSize) {
  auto root = std::make_shared<platform::View>(platform::Rect{{0, 0}, {340, 90}});
  auto button = platform::Button::withTitle("Loose", [] {});
  root->addSubview(button);
  const auto geometry = platform::sheetLayout::layOut(*root, fakeMeasure, Direction::rightToLeft);
  ASSERT_EQ(geometry.placements.size(), 1u);
  EXPECT_EQ(geometry.placements[0].frame, (Frame{0, 0, 64, 34}));
}

}  // namespace
