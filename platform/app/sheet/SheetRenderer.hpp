#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/app/views/View.hpp"

namespace platform {

// Draws an extension's sheet, a view tree, and feeds the user's actions back into it. The
// runtime picks one (chooseSheetRenderer()) and calls it on the main thread only.
//
// While shown, the renderer owns the root view's change handler: it draws again after changes
// (coalescing them is its choice), presses buttons through root.performKeyEquivalent() for
// keys and Button::performClick() for clicks, and calls `dismissed` when the user takes the sheet
// away by other means (a window's close box), which cancels the request.
class SheetRenderer {
 public:
  virtual ~SheetRenderer() = default;

  // The sheet's name, for renderers that show one (a window's title); called before show().
  // Others ignore it.
  virtual void setTitle(const std::string& /*title*/) {}
  virtual void show(std::shared_ptr<View> root, std::function<void()> dismissed) = 0;
  // The request has ended: draw what is still undrawn, stop taking input, let go of the tree.
  virtual void close() = 0;
};

}  // namespace platform
