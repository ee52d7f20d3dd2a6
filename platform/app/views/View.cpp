#include "platform/app/views/View.hpp"

#include <algorithm>
#include <utility>

#include "platform/app/views/Button.hpp"

namespace platform {

View::View(Rect frame) : frame_(frame) {}

View::~View() = default;

void View::setFrame(Rect frame) {
  frame_ = frame;
  notifyChanged();
}

void View::addSubview(std::shared_ptr<View> view) {
  view->removeFromSuperview();
  view->superview_ = weak_from_this();
  subviews_.push_back(std::move(view));
  notifyChanged();
}

void View::removeFromSuperview() {
  auto parent = superview();
  if (!parent) return;
  // Constraints that tie this view to the tree it leaves go with it, as on the desktop platform.
  for (auto* holder = parent.get(); holder != nullptr; holder = holder->superview().get()) {
    auto installed = holder->constraints_;
    for (const auto& constraint : installed) {
      if (constraint->firstItem().get() == this || constraint->secondItem().get() == this) {
        constraint->setActive(false);
      }
    }
  }
  auto& siblings = parent->subviews_;
  siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                [this](const auto& view) { return view.get() == this; }),
                 siblings.end());
  superview_.reset();
  parent->notifyChanged();
}

void View::setTranslatesAutoresizingMaskIntoConstraints(bool translates) {
  translatesAutoresizingMask_ = translates;
  notifyChanged();
}

LayoutXAxisAnchor View::leadingAnchor() { return {weak_from_this(), LayoutAttribute::leading}; }
LayoutXAxisAnchor View::trailingAnchor() { return {weak_from_this(), LayoutAttribute::trailing}; }
LayoutXAxisAnchor View::centerXAnchor() { return {weak_from_this(), LayoutAttribute::centerX}; }
LayoutYAxisAnchor View::topAnchor() { return {weak_from_this(), LayoutAttribute::top}; }
LayoutYAxisAnchor View::bottomAnchor() { return {weak_from_this(), LayoutAttribute::bottom}; }
LayoutYAxisAnchor View::centerYAnchor() { return {weak_from_this(), LayoutAttribute::centerY}; }

bool View::performKeyEquivalent(std::string_view key) {
  if (key.empty()) return false;
  // Front to back: the last subview added is the frontmost.
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    const auto view = *it;  // the action may change the tree
    if (view->performKeyEquivalent(key)) return true;
  }
  if (auto* button = dynamic_cast<Button*>(this); button && button->keyEquivalent() == key) {
    button->performClick();
    return true;
  }
  return false;
}

std::shared_ptr<Button> View::defaultButton() {
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    if (auto found = (*it)->defaultButton()) return found;
  }
  auto button = std::dynamic_pointer_cast<Button>(shared_from_this());
  return button && button->keyEquivalent() == "\r" ? button : nullptr;
}

void View::setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }

void View::notifyChanged() {
  View* top = this;
  while (auto parent = top->superview()) top = parent.get();
  if (top->changeHandler_) top->changeHandler_();
}

void View::install(std::shared_ptr<LayoutConstraint> constraint) {
  constraints_.push_back(std::move(constraint));
}

void View::uninstall(const LayoutConstraint* constraint) {
  constraints_.erase(std::remove_if(constraints_.begin(), constraints_.end(),
                                    [constraint](const auto& c) { return c.get() == constraint; }),
                     constraints_.end());
}

}  // namespace platform
