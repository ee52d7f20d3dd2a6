// The sheet the controller builds: its tree, its constraints, the failure's Close button, and how
// the terminal draws it.
#include <gtest/gtest.h>

#include "platform/MainThread.hpp"
#include "platform/app/sheet/TextSheet.hpp"
#include "platform/app/views/Button.hpp"
#include "tests/share-extension/ControllerHarness.hpp"

namespace share_extension_test {
namespace {

using platform::LayoutAttribute;
using platform::LayoutRelation;

const std::string openFirst =
    "Open KelpWord once first, so it can receive recordings. Then share the recording again.";

struct ExpectedConstraint {
  int number;
  LayoutAttribute attribute;
  LayoutRelation relation;
  double constant;
};

// Constraint `number` relates `view` to `root`, the same attribute on both sides, as given.
void expectConstraint(const platform::LayoutConstraint& constraint,
                      const ExpectedConstraint& expected,
                      const std::shared_ptr<platform::View>& view,
                      const std::shared_ptr<platform::View>& root) {
  SCOPED_TRACE("constraint " + std::to_string(expected.number));
  EXPECT_EQ(constraint.firstItem(), view);
  EXPECT_EQ(platform::toString(constraint.firstAttribute()),
            platform::toString(expected.attribute));
  EXPECT_EQ(platform::toString(constraint.relation()), platform::toString(expected.relation));
  EXPECT_EQ(constraint.secondItem(), root);
  EXPECT_EQ(platform::toString(constraint.secondAttribute()),
            platform::toString(expected.attribute));
  EXPECT_EQ(constraint.constant(), expected.constant);
  EXPECT_TRUE(constraint.isActive());
}

const ExpectedConstraint labelConstraints[] = {
    {1, LayoutAttribute::centerX, LayoutRelation::equal, 0},
    {2, LayoutAttribute::centerY, LayoutRelation::equal, 0},
    {3, LayoutAttribute::leading, LayoutRelation::greaterThanOrEqual, 20},
    {4, LayoutAttribute::trailing, LayoutRelation::lessThanOrEqual, -20},
};
const ExpectedConstraint buttonConstraints[] = {
    {5, LayoutAttribute::trailing, LayoutRelation::equal, -16},
    {6, LayoutAttribute::bottom, LayoutRelation::equal, -12},
};

// Shows the failure sheet: the inbox is missing, so the first viewDidAppear fails at once.
std::shared_ptr<platform::Button> fail(
    const std::shared_ptr<KelpWordShare::ShareViewController>& controller) {
  controller->viewDidAppear();
  return controller->view()->defaultButton();
}

TEST_F(ShareControllerTest, TheStatusSheetIsTheCentredLabelAlone) {
  const auto controller = makeController(std::vector<std::shared_ptr<platform::InputItem>>{});
  const auto root = controller->view();
  const auto label = labelOf(controller);

  EXPECT_EQ(root->frame(), (platform::Rect{{0, 0}, {340, 90}}));
  ASSERT_EQ(root->subviews().size(), 1u);
  EXPECT_EQ(label->stringValue(), sending);
  EXPECT_TRUE(label->wraps());
  EXPECT_EQ(label->alignment(), platform::TextAlignment::center);
  EXPECT_FALSE(label->translatesAutoresizingMaskIntoConstraints());
  EXPECT_EQ(root->defaultButton(), nullptr);
  ASSERT_EQ(root->constraints().size(), 4u);
  for (std::size_t i = 0; i < 4; ++i)
    expectConstraint(*root->constraints()[i], labelConstraints[i], label, root);
}

TEST_F(ShareControllerTest, AFailureShowsTheMessageWithACloseButtonAtTheBottomRight) {
  const auto controller = makeController(std::vector<std::shared_ptr<platform::InputItem>>{});
  const auto button = fail(controller);
  const auto root = controller->view();

  EXPECT_EQ(labelOf(controller)->stringValue(), openFirst);
  ASSERT_NE(button, nullptr);
  ASSERT_EQ(root->subviews().size(), 2u);
  EXPECT_EQ(root->subviews()[1], button);
  EXPECT_EQ(button->title(), "Close");
  EXPECT_EQ(button->keyEquivalent(), "\r");
  EXPECT_FALSE(button->translatesAutoresizingMaskIntoConstraints());
  ASSERT_EQ(root->constraints().size(), 6u);
  for (std::size_t i = 0; i < 4; ++i) {
    expectConstraint(*root->constraints()[i], labelConstraints[i], labelOf(controller), root);
  }
  for (std::size_t i = 0; i < 2; ++i) {
    expectConstraint(*root->constraints()[4 + i], buttonConstraints[i], button, root);
  }
}

TEST_F(ShareControllerTest, ReturnAndCloseBothCancelTheRequestAsCancelledByTheUser) {
  const std::pair<const char*, std::function<void(platform::View&, platform::Button&)>> presses[] =
      {
          {"Return", [](platform::View& root,
                        platform::Button&) { EXPECT_TRUE(root.performKeyEquivalent("\r")); }},
          {"Close", [](platform::View&, platform::Button& button) { button.performClick(); }},
      };
  for (const auto& [name, press] : presses) {
    SCOPED_TRACE(name);
    const auto controller = makeController(std::vector<std::shared_ptr<platform::InputItem>>{});
    const auto button = fail(controller);
    ASSERT_NE(button, nullptr);

    press(*controller->view(), *button);

    EXPECT_EQ(context_->state(), platform::ExtensionContext::State::cancelled);
    EXPECT_EQ(context_->cancellationError(),
              (platform::ExtensionError{"NSCocoaErrorDomain", 3072}));
  }
}

TEST_F(ShareControllerTest, CloseWithoutAnExtensionContextDoesNothing) {
  const auto controller = makeController(std::nullopt);
  const auto button = fail(controller);
  ASSERT_NE(button, nullptr);

  button->performClick();
  controller->view()->performKeyEquivalent("\r");

  EXPECT_EQ(labelOf(controller)->stringValue(), openFirst);
  EXPECT_EQ(controller->view()->subviews().size(), 2u);
}

// The terminal's picture of the sheet: 43 columns inside the frame for 340 points.
TEST_F(ShareControllerTest, TheTerminalDrawsTheStatusCentredAndAFailureWrappedAboveClose) {
  const auto controller = makeController(std::vector<std::shared_ptr<platform::InputItem>>{});
  const auto status = platform::textSheet::draw(*controller->view(), 200);
  ASSERT_EQ(status.size(), 7u);  // a frame around 5 rows
  const std::string centred = "\u2502           Sending to KelpWord\u2026            \u2502";
  EXPECT_EQ(status[3], centred);

  fail(controller);
  const auto failed = platform::textSheet::draw(*controller->view(), 200);
  // Inside the frame, row by row: the message's lines, never closer than 3 columns (20 points)
  // to either side, and the button's row below them, ending 2 columns (16 points) from the right.
  std::vector<std::string> inside;
  for (std::size_t i = 1; i + 1 < failed.size(); ++i) {
    const auto& row = failed[i];
    inside.push_back(row.substr(3, row.size() - 6));  // "│" is 3 bytes
  }
  std::string message;
  std::size_t buttonRow = 0;
  for (std::size_t i = 0; i < inside.size(); ++i) {
    const auto& row = inside[i];
    if (row.find("[ Close ]") != std::string::npos) {
      buttonRow = i;
      EXPECT_TRUE(row.ends_with("[ Close ]  ")) << row;
      continue;
    }
    const auto first = row.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    EXPECT_GE(first, 3u) << row;
    EXPECT_GE(row.size() - row.find_last_not_of(' ') - 1, 3u) << row;
    if (!message.empty()) message += ' ';
    message += row.substr(first, row.find_last_not_of(' ') - first + 1);
    EXPECT_EQ(buttonRow, 0u) << "the message runs under the button";
  }
  EXPECT_EQ(message, openFirst);
  EXPECT_EQ(buttonRow, inside.size() - 2);  // 12 points: one row up from the bottom edge
}

TEST_F(ShareControllerTest, TextOutputPrintsEachTextWholeOnOneLine) {
  const auto controller = makeController(std::vector<std::shared_ptr<platform::InputItem>>{});
  fail(controller);
  labelOf(controller)->setStringValue("two\nlines");
  EXPECT_EQ(platform::textSheet::labelTexts(*controller->view()),
            std::vector<std::string>{"two lines"});
}

}  // namespace
}  // namespace share_extension_test
