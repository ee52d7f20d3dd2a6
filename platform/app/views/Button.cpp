#include "platform/app/views/Button.hpp"

#include <utility>

namespace platform {

std::shared_ptr<Button> Button::withTitle(std::string title, Action action) {
  auto button = std::make_shared<Button>();
  button->title_ = std::move(title);
  button->action_ = std::move(action);
  return button;
}

void Button::setTitle(std::string title) {
  title_ = std::move(title);
  notifyChanged();
}

void Button::setKeyEquivalent(std::string key) {
  keyEquivalent_ = std::move(key);
  notifyChanged();
}

void Button::performClick() {
  // A copy: the action may replace the button's action or remove the button.
  if (auto action = action_) action();
}

}  // namespace platform
