#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform {

class View;

enum class LayoutAttribute { leading, trailing, top, bottom, centerX, centerY };
enum class LayoutRelation { lessThanOrEqual, equal, greaterThanOrEqual };

std::string toString(LayoutAttribute attribute);
std::string toString(LayoutRelation relation);

// One relation between two views' edges or centres:
//   firstItem.firstAttribute  relation  secondItem.secondAttribute + constant
// Made inactive by an anchor; it takes effect once activated, when it is installed on the
// nearest common ancestor of its two items. Refers to its items weakly. Main thread only.
class LayoutConstraint : public std::enable_shared_from_this<LayoutConstraint> {
 public:
  LayoutConstraint(std::weak_ptr<View> firstItem, LayoutAttribute firstAttribute,
                   LayoutRelation relation, std::weak_ptr<View> secondItem,
                   LayoutAttribute secondAttribute, double constant);

  std::shared_ptr<View> firstItem() const { return firstItem_.lock(); }
  LayoutAttribute firstAttribute() const { return firstAttribute_; }
  LayoutRelation relation() const { return relation_; }
  std::shared_ptr<View> secondItem() const { return secondItem_.lock(); }
  LayoutAttribute secondAttribute() const { return secondAttribute_; }
  double constant() const { return constant_; }
  bool isActive() const { return active_; }

  // Activating installs the constraint; it throws std::logic_error when its items have no
  // common ancestor (they are not in one view tree yet). Deactivating removes it.
  void setActive(bool active);

  // Activates all of `constraints` together: each is installed in list order, and the views
  // concerned hear of one change. Throws std::logic_error, activating none, when any of them
  // has items without a common ancestor.
  static void activateConstraints(
      const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);

 private:
  std::shared_ptr<View> commonAncestor() const;

  std::weak_ptr<View> firstItem_;
  LayoutAttribute firstAttribute_;
  LayoutRelation relation_;
  std::weak_ptr<View> secondItem_;
  LayoutAttribute secondAttribute_;
  double constant_;
  bool active_ = false;
  std::weak_ptr<View> installedOn_;
};

struct LayoutXAxis {};
struct LayoutYAxis {};

// An edge or centre of a view, along one axis: only anchors of the same axis can be related.
// Each constraint…To operation makes a new, inactive constraint.
template <class Axis>
class LayoutAnchor {
 public:
  LayoutAnchor(std::weak_ptr<View> item, LayoutAttribute attribute)
      : item_(std::move(item)), attribute_(attribute) {}

  std::shared_ptr<LayoutConstraint> constraintEqualTo(const LayoutAnchor& other,
                                                      double constant = 0) const {
    return make(LayoutRelation::equal, other, constant);
  }
  std::shared_ptr<LayoutConstraint> constraintGreaterThanOrEqualTo(const LayoutAnchor& other,
                                                                   double constant = 0) const {
    return make(LayoutRelation::greaterThanOrEqual, other, constant);
  }
  std::shared_ptr<LayoutConstraint> constraintLessThanOrEqualTo(const LayoutAnchor& other,
                                                                double constant = 0) const {
    return make(LayoutRelation::lessThanOrEqual, other, constant);
  }

  std::shared_ptr<View> item() const { return item_.lock(); }
  LayoutAttribute attribute() const { return attribute_; }

 private:
  std::shared_ptr<LayoutConstraint> make(LayoutRelation relation, const LayoutAnchor& other,
                                         double constant) const {
    return std::make_shared<LayoutConstraint>(item_, attribute_, relation, other.item_,
                                              other.attribute_, constant);
  }

  std::weak_ptr<View> item_;
  LayoutAttribute attribute_;
};

using LayoutXAxisAnchor = LayoutAnchor<LayoutXAxis>;
using LayoutYAxisAnchor = LayoutAnchor<LayoutYAxis>;

}  // namespace platform
