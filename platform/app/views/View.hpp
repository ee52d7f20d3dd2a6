#pragma once

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/app/views/LayoutConstraint.hpp"

namespace platform {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

// In points; the origin is the bottom-left corner, as on the desktop platform.
struct Rect {
  Point origin;
  Size size;
  friend bool operator==(const Rect&, const Rect&) = default;
};

class Button;

// A rectangle of a sheet and the views inside it. The view layer is a model only: it records
// what a controller builds (the tree, texts, buttons, constraints) and tells whoever draws it
// that something changed; a renderer draws it and feeds the user's key presses and clicks back.
//
// Views live in std::shared_ptr (make them with std::make_shared or a factory): anchors and
// constraints refer to them weakly. Main thread only.
class View : public std::enable_shared_from_this<View> {
 public:
  explicit View(Rect frame = {});
  virtual ~View();
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  const Rect& frame() const { return frame_; }
  void setFrame(Rect frame);

  // Subviews in the order they were added, the last one frontmost.
  const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
  // Adds `view` at the front, taking it out of its former superview first.
  void addSubview(std::shared_ptr<View> view);
  void removeFromSuperview();
  // The enclosing view, or none (held weakly: a view owns its subviews, not the other way).
  std::shared_ptr<View> superview() const { return superview_.lock(); }

  // True (the default) when the view's frame is kept as it is; false when constraints alone
  // place it.
  bool translatesAutoresizingMaskIntoConstraints() const { return translatesAutoresizingMask_; }
  void setTranslatesAutoresizingMaskIntoConstraints(bool translates);

  LayoutXAxisAnchor leadingAnchor();
  LayoutXAxisAnchor trailingAnchor();
  LayoutXAxisAnchor centerXAnchor();
  LayoutYAxisAnchor topAnchor();
  LayoutYAxisAnchor bottomAnchor();
  LayoutYAxisAnchor centerYAnchor();

  // The active constraints installed on this view (the nearest common ancestor of their items),
  // in activation order.
  const std::vector<std::shared_ptr<LayoutConstraint>>& constraints() const { return constraints_; }

  // Presses the first button, front to back and depth first, whose key equivalent is `key`
  // ("\r" for the Return key). Returns whether one was pressed.
  bool performKeyEquivalent(std::string_view key);
  // The button that Return presses, or none.
  std::shared_ptr<Button> defaultButton();

  // Called (on the main thread, synchronously) whenever this view or one inside it changes:
  // frame, subviews, text, buttons, constraints. A renderer sets it on the sheet's root view.
  void setChangeHandler(std::function<void()> handler);

 protected:
  // Tells the topmost enclosing view's change handler that something changed.
  void notifyChanged();

 private:
  friend class LayoutConstraint;
  void install(std::shared_ptr<LayoutConstraint> constraint);
  void uninstall(const LayoutConstraint* constraint);

  Rect frame_;
  std::vector<std::shared_ptr<View>> subviews_;
  std::weak_ptr<View> superview_;
  std::vector<std::shared_ptr<LayoutConstraint>> constraints_;
  bool translatesAutoresizingMask_ = true;
  std::function<void()> changeHandler_;
};

}  // namespace platform
