#include "platform/app/views/ViewController.hpp"

#include <utility>

#include "platform/app/workspace/Bundle.hpp"

namespace platform {

ViewController::ViewController(std::optional<std::string> /*nibName*/,
                               std::optional<Bundle> /*nibBundle*/) {}

ViewController::~ViewController() = default;

std::shared_ptr<View> ViewController::view() {
  if (!view_) loadView();
  return view_;
}

void ViewController::setView(std::shared_ptr<View> view) { view_ = std::move(view); }

void ViewController::loadView() { setView(std::make_shared<View>()); }

void ViewController::viewDidAppear() {}

void ViewController::setTitle(std::string title) { title_ = std::move(title); }

void ViewController::setExtensionContext(std::shared_ptr<ExtensionContext> context) {
  extensionContext_ = std::move(context);
}

}  // namespace platform
