#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "platform/app/views/View.hpp"

namespace platform {

// Keys for a text sheet, read from a descriptor on a thread of its own and acted on on the main
// thread: Return (or a line end) presses the sheet's default button, and so does the end of the
// input, then or as soon as the sheet has a default button (a closed input can never press it
// later). Nothing happens for Return while the sheet has no default button.
class KeyInput {
 public:
  // Reads `fd` (not owned; -1 for an input that has ended already) for the tree under `root`.
  KeyInput(int fd, std::weak_ptr<View> root);
  ~KeyInput();
  KeyInput(const KeyInput&) = delete;
  KeyInput& operator=(const KeyInput&) = delete;

  // To be called after each redraw, on the main thread: presses the default button once the
  // input has ended.
  void sheetChanged();

 private:
  void read(int fd);
  void pressDefaultButton();

  std::weak_ptr<View> root_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // main thread only
  bool ended_ = false;                                          // main thread only
  int stopPipe_[2] = {-1, -1};
  std::thread reader_;
};

}  // namespace platform
