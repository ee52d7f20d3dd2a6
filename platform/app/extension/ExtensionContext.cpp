#include "platform/app/extension/ExtensionContext.hpp"

#include <utility>

namespace platform {

ExtensionContext::ExtensionContext(std::vector<std::shared_ptr<InputItem>> inputItems)
    : inputItems_(std::move(inputItems)) {}

void ExtensionContext::completeRequest(ReturnedItems returningItems,
                                       std::function<void(bool expired)> completionHandler) {
  if (state_ != State::open) return;
  returnedItems_ = std::move(returningItems);
  end(State::completed);
  if (completionHandler) completionHandler(false);
}

void ExtensionContext::cancelRequest(ExtensionError error) {
  if (state_ != State::open) return;
  cancellationError_ = std::move(error);
  end(State::cancelled);
}

void ExtensionContext::end(State state) {
  state_ = state;
  if (auto handler = std::move(endHandler_)) handler(state);
}

}  // namespace platform
