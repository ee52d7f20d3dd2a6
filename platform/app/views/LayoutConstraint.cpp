#include "platform/app/views/LayoutConstraint.hpp"

#include <set>
#include <stdexcept>
#include <utility>

#include "platform/app/views/View.hpp"

namespace platform {

std::string toString(LayoutAttribute attribute) {
  switch (attribute) {
    case LayoutAttribute::leading:
      return "leading";
    case LayoutAttribute::trailing:
      return "trailing";
    case LayoutAttribute::top:
      return "top";
    case LayoutAttribute::bottom:
      return "bottom";
    case LayoutAttribute::centerX:
      return "centerX";
    case LayoutAttribute::centerY:
      return "centerY";
  }
  return "?";
}

std::string toString(LayoutRelation relation) {
  switch (relation) {
    case LayoutRelation::lessThanOrEqual:
      return "<=";
    case LayoutRelation::equal:
      return "==";
    case LayoutRelation::greaterThanOrEqual:
      return ">=";
  }
  return "?";
}

LayoutConstraint::LayoutConstraint(std::weak_ptr<View> firstItem, LayoutAttribute firstAttribute,
                                   LayoutRelation relation, std::weak_ptr<View> secondItem,
                                   LayoutAttribute secondAttribute, double constant)
    : firstItem_(std::move(firstItem)),
      firstAttribute_(firstAttribute),
      relation_(relation),
      secondItem_(std::move(secondItem)),
      secondAttribute_(secondAttribute),
      constant_(constant) {}

std::shared_ptr<View> LayoutConstraint::commonAncestor() const {
  auto first = firstItem();
  auto second = secondItem();
  if (!first || !second) return nullptr;
  std::set<const View*> aboveFirst;
  for (auto view = first; view; view = view->superview()) aboveFirst.insert(view.get());
  for (auto view = second; view; view = view->superview()) {
    if (aboveFirst.count(view.get()) != 0) return view;
  }
  return nullptr;
}

void LayoutConstraint::setActive(bool active) {
  if (active == active_) return;
  if (active) {
    activateConstraints({shared_from_this()});
    return;
  }
  active_ = false;
  if (auto holder = installedOn_.lock()) {
    holder->uninstall(this);
    holder->notifyChanged();
  }
  installedOn_.reset();
}

void LayoutConstraint::activateConstraints(
    const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
  std::vector<std::shared_ptr<View>> holders;
  for (const auto& constraint : constraints) {
    auto holder = constraint->commonAncestor();
    if (!holder) {
      throw std::logic_error("activateConstraints: the constraint's items (" +
                             toString(constraint->firstAttribute_) + ", " +
                             toString(constraint->secondAttribute_) + ") have no common ancestor");
    }
    holders.push_back(std::move(holder));
  }
  std::set<View*> touched;
  for (std::size_t i = 0; i < constraints.size(); ++i) {
    const auto& constraint = constraints[i];
    if (constraint->active_) continue;
    constraint->active_ = true;
    constraint->installedOn_ = holders[i];
    holders[i]->install(constraint);
    touched.insert(holders[i].get());
  }
  for (auto* holder : touched) holder->notifyChanged();
}

}  // namespace platform
