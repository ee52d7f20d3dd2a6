#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/app/views/View.hpp"

namespace platform {

class Bundle;
class ExtensionContext;

// Manages one view tree, built on first use by loadView(). An extension's principal controller
// also gets the share request's extension context from the runtime. Controllers live in
// std::shared_ptr, so that work they start can hold them. Main thread only.
class ViewController : public std::enable_shared_from_this<ViewController> {
 public:
  // Nib files do not exist here: the name and bundle are taken, as subclasses pass them on, and
  // dropped.
  ViewController(std::optional<std::string> nibName, std::optional<Bundle> nibBundle);
  virtual ~ViewController();
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  // The root view, built by loadView() first when not loaded yet.
  std::shared_ptr<View> view();
  void setView(std::shared_ptr<View> view);

  // Builds the root view and sets it with setView(). The base makes a plain, empty view.
  virtual void loadView();
  // Called each time the view has been put on screen. The base does its own bookkeeping only.
  virtual void viewDidAppear();

  // What the sheet is called where it has a name of its own, as a window's title bar; the
  // runtime hands it to the renderer. Empty unless set.
  const std::string& title() const { return title_; }
  void setTitle(std::string title);

  // The share request this controller serves, or none outside an extension.
  std::shared_ptr<ExtensionContext> extensionContext() const { return extensionContext_; }
  // The runtime's: hands the controller its request.
  void setExtensionContext(std::shared_ptr<ExtensionContext> context);

 private:
  std::shared_ptr<View> view_;
  std::string title_;
  std::shared_ptr<ExtensionContext> extensionContext_;
};

}  // namespace platform
