#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ItemProvider.hpp"

namespace platform {

// Anything a share request can carry as an input item. The share service sends ExtensionItems;
// code that takes the items checks each one's kind (dynamic_cast), as other kinds may come.
class InputItem {
 public:
  virtual ~InputItem() = default;
};

// One shared item: its attachments, each an item provider.
class ExtensionItem : public InputItem {
 public:
  // The item's providers in order, or none (an item may come without an attachment list).
  const std::optional<std::vector<std::shared_ptr<ItemProvider>>>& attachments() const {
    return attachments_;
  }
  void setAttachments(std::optional<std::vector<std::shared_ptr<ItemProvider>>> attachments) {
    attachments_ = std::move(attachments);
  }

 private:
  std::optional<std::vector<std::shared_ptr<ItemProvider>>> attachments_;
};

// An error as the extension runtime reports it: a domain and a code in it.
struct ExtensionError {
  std::string domain;
  long code = 0;
  friend bool operator==(const ExtensionError&, const ExtensionError&) = default;
};

inline constexpr std::string_view cocoaErrorDomain = "NSCocoaErrorDomain";
// The code of that domain that reports a cancellation by the user.
inline constexpr long userCancelledErrorCode = 3072;

// One share request, as the runtime hands it to the extension's controller: its input items,
// and the two ways it ends. Main thread only.
class ExtensionContext {
 public:
  enum class State { open, completed, cancelled };
  using ReturnedItems = std::optional<std::vector<std::shared_ptr<InputItem>>>;

  explicit ExtensionContext(std::vector<std::shared_ptr<InputItem>> inputItems);

  const std::vector<std::shared_ptr<InputItem>>& inputItems() const { return inputItems_; }

  // Ends the request as successful, handing `returningItems` (none: a null list) back to the
  // sharing application; `completionHandler`, when given, is called with false (not expired)
  // once the request has ended.
  void completeRequest(ReturnedItems returningItems,
                       std::function<void(bool expired)> completionHandler = nullptr);
  // Ends the request as failed or cancelled with `error`.
  void cancelRequest(ExtensionError error);

  // A request ends once: a later complete or cancel is ignored.
  State state() const { return state_; }
  const ReturnedItems& returnedItems() const { return returnedItems_; }
  const std::optional<ExtensionError>& cancellationError() const { return cancellationError_; }

  // The runtime's hook: called once, on the main thread, when the request ends.
  void setEndHandler(std::function<void(State)> handler) { endHandler_ = std::move(handler); }

 private:
  void end(State state);

  std::vector<std::shared_ptr<InputItem>> inputItems_;
  State state_ = State::open;
  ReturnedItems returnedItems_;
  std::optional<ExtensionError> cancellationError_;
  std::function<void(State)> endHandler_;
};

}  // namespace platform
