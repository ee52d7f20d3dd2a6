#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/app/views/View.hpp"

namespace platform {

// A push button. Main thread only.
class Button : public View {
 public:
  // Called when the button is pressed. A target–action pair: the callable stands for the
  // target's method, and must hold its target weakly when the target owns the button's view
  // tree, as a controller does.
  using Action = std::function<void()>;

  // A push button titled `title` that runs `action` when pressed.
  static std::shared_ptr<Button> withTitle(std::string title, Action action);

  const std::string& title() const { return title_; }
  void setTitle(std::string title);

  // The key that presses the button: "\r" for Return (the sheet's default button), "" for none.
  const std::string& keyEquivalent() const { return keyEquivalent_; }
  void setKeyEquivalent(std::string key);

  // Presses the button, as a click or its key equivalent does: runs the action.
  void performClick();

 private:
  std::string title_;
  Action action_;
  std::string keyEquivalent_;
};

}  // namespace platform
