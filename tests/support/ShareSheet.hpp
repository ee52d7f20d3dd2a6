#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/app/views/Button.hpp"
#include "platform/app/views/LayoutConstraint.hpp"
#include "platform/app/views/TextField.hpp"
#include "platform/app/views/View.hpp"

namespace testing_support {

// The share sheet's view tree as its controller builds it: a 340 by 90 point root with the
// centred label, within 20 points of either side.
struct ShareSheet {
  std::shared_ptr<platform::View> root;
  std::shared_ptr<platform::TextField> label;
  std::shared_ptr<platform::Button> button;  // after fail()

  explicit ShareSheet(const std::string& text)
      : root(std::make_shared<platform::View>(platform::Rect{{0, 0}, {340, 90}})),
        label(platform::TextField::wrappingLabel(text)) {
    using platform::LayoutConstraint;
    label->setTranslatesAutoresizingMaskIntoConstraints(false);
    label->setAlignment(platform::TextAlignment::center);
    root->addSubview(label);
    LayoutConstraint::activateConstraints({
        label->centerXAnchor().constraintEqualTo(root->centerXAnchor()),
        label->centerYAnchor().constraintEqualTo(root->centerYAnchor()),
        label->leadingAnchor().constraintGreaterThanOrEqualTo(root->leadingAnchor(), 20),
        label->trailingAnchor().constraintLessThanOrEqualTo(root->trailingAnchor(), -20),
    });
  }

  // The message in place of the status, and the Close button 16 points in from the trailing
  // edge and 12 up from the bottom, pressed by Return.
  void fail(
      const std::string& message, std::function<void()> close = [] {}) {
    using platform::LayoutConstraint;
    label->setStringValue(message);
    button = platform::Button::withTitle("Close", std::move(close));
    button->setKeyEquivalent("\r");
    button->setTranslatesAutoresizingMaskIntoConstraints(false);
    root->addSubview(button);
    LayoutConstraint::activateConstraints({
        button->trailingAnchor().constraintEqualTo(root->trailingAnchor(), -16),
        button->bottomAnchor().constraintEqualTo(root->bottomAnchor(), -12),
    });
  }
};

}  // namespace testing_support
