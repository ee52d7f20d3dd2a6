// The window renderer in this process, on the test's X server: the sheet as the user sees it,
// read back from the screen.
#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include "platform/app/sheet/WindowSheetRenderer.hpp"
#include "platform/app/views/ProgressIndicator.hpp"
#include "tests/support/ShareSheet.hpp"
#include "tests/window/WindowRendering.hpp"
#include "tests/window/WindowTestEnvironment.hpp"

namespace window_test {

using testing_support::ShareSheet;
namespace {

const std::string sending = "Sending to KelpWord\u2026";
const std::string openFirst =
    "Open KelpWord once first, so it can receive recordings. Then share the recording again.";

struct Case {
  const char* name;
  std::string message;
  bool failed;
  GtkTextDirection direction;
  bool grows;  // the wrapped message would run under the button in 90 points
};

const Case cases[] = {
    {"status", sending, false, GTK_TEXT_DIR_LTR, false},
    {"a short failure leaves the sheet as it is", "Nope.", true, GTK_TEXT_DIR_LTR, false},
    {"a failure on two lines grows the sheet", openFirst, true, GTK_TEXT_DIR_LTR, true},
    {"right to left, the button sits at the left", openFirst, true, GTK_TEXT_DIR_RTL, true},
    {"a long message wraps within the margins",
     openFirst + " " + openFirst + " " + std::string(80, 'W'), true, GTK_TEXT_DIR_LTR, true},
    {"right to left status", "\u05e9\u05d5\u05dc\u05d7 \u05dc-KelpWord\u2026", false,
     GTK_TEXT_DIR_RTL, false},
};

TEST_F(WindowRenderingTest, TheSheetShowsWhatItsModelHoldsWhereItsConstraintsSay) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    gtk_widget_set_default_direction(c.direction);
    ShareSheet sheet(sending);
    if (c.failed) sheet.fail(c.message);
    if (!c.failed) sheet.label->setStringValue(c.message);
    const auto shown = show(sheet.root);
    gtk_widget_set_default_direction(GTK_TEXT_DIR_LTR);
    ASSERT_TRUE(shown.picture) << "the window did not settle";
    const Image& picture = *shown.picture;
    const auto parts = findSheetParts(picture);
    SCOPED_TRACE(::testing::Message() << "text " << parts.text << ", button " << parts.button
                                      << ", window " << picture.width << "x" << picture.height);
    keepPicture(picture, c.name);

    EXPECT_EQ(picture.width, 340);
    if (c.grows) {
      EXPECT_GT(picture.height, 90);
    } else {
      EXPECT_EQ(picture.height, 90);
    }
    ASSERT_FALSE(parts.text.empty());
    EXPECT_GE(parts.text.left, 20);
    EXPECT_LE(parts.text.right, 320);
    EXPECT_NEAR(parts.text.left + parts.text.right, 340, 3) << "centred";
    if (!c.failed) {
      EXPECT_TRUE(parts.button.empty());
      EXPECT_NEAR(parts.text.top + parts.text.bottom, picture.height, 6) << "centred";
      continue;
    }
    ASSERT_FALSE(parts.button.empty());
    EXPECT_FALSE(parts.text.overlaps(parts.button)) << "the button covers the text";
    EXPECT_EQ(parts.button.bottom, picture.height - 12);
    if (c.direction == GTK_TEXT_DIR_RTL) {
      EXPECT_EQ(parts.button.left, 16);
    } else {
      EXPECT_EQ(parts.button.right, 340 - 16);
    }
  }
}

TEST_F(WindowRenderingTest, AChangeToTheModelIsDrawnWithoutAnyInput) {
  ShareSheet sheet(sending);
  const auto before = show(sheet.root, /*keepOpen=*/true);
  ASSERT_TRUE(before.picture);

  // Nothing but the main loop runs from here: no event from the X server wakes GLib.
  sheet.fail(openFirst);
  const auto after =
      settledPicture(before.window, std::chrono::seconds(10), runMainLoopFor,
                     [](const Image& shown) { return !findSheetParts(shown).button.empty(); });
  renderer().close();
  ASSERT_TRUE(after);
  keepPicture(*after, "changed");
  EXPECT_GT(after->height, 90);
  EXPECT_FALSE(findSheetParts(*after).button.empty());
}

// Whether `picture` shows, in its lower half, a bar filled in the theme's accent colour from the
// left to about `fraction` of its width.
bool showsBarFilledTo(const Image& picture, double fraction) {
  const auto accent = [](const Rgb& pixel) { return pixel.blue > pixel.red + 60; };
  const int filled = static_cast<int>(picture.width * fraction * 0.6);
  const int empty = static_cast<int>(picture.width * (fraction + (1 - fraction) * 0.6));
  for (int y = picture.height / 2; y < picture.height; ++y) {
    if (accent(picture.at(filled, y)) && !accent(picture.at(empty, y))) return true;
  }
  return false;
}

// A progress bar beneath the status line, as a long share adds it: drawn, half filled, the status
// line still there.
TEST_F(WindowRenderingTest, AProgressBarBeneathTheStatusIsDrawn) {
  ShareSheet sheet(sending);
  const auto before = show(sheet.root, /*keepOpen=*/true);
  ASSERT_TRUE(before.picture);

  const auto progress = std::make_shared<platform::ProgressIndicator>();
  progress->setFraction(0.5);
  progress->setDetail("50 % \u2014 1.0 GiB of 2.0 GiB, 24 MiB/s");
  progress->setTranslatesAutoresizingMaskIntoConstraints(false);
  sheet.root->addSubview(progress);
  platform::LayoutConstraint::activateConstraints({
      progress->leadingAnchor().constraintEqualTo(sheet.root->leadingAnchor(), 20),
      progress->trailingAnchor().constraintEqualTo(sheet.root->trailingAnchor(), -20),
      progress->bottomAnchor().constraintEqualTo(sheet.root->bottomAnchor(), -12),
  });
  const auto after =
      settledPicture(before.window, std::chrono::seconds(10), runMainLoopFor,
                     [](const Image& shown) { return showsBarFilledTo(shown, 0.5); });
  renderer().close();
  ASSERT_TRUE(after);
  keepPicture(*after, "progress");
  EXPECT_TRUE(showsBarFilledTo(*after, 0.5));
  EXPECT_FALSE(showsBarFilledTo(*before.picture, 0.5));
  EXPECT_FALSE(findSheetParts(*after).text.empty()) << "the status line stays";
}

}  // namespace
}  // namespace window_test
