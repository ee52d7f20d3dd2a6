#include "platform/app/views/TextField.hpp"

#include <utility>

namespace platform {

std::shared_ptr<TextField> TextField::wrappingLabel(std::string text) {
  auto label = std::make_shared<TextField>();
  label->text_ = std::move(text);
  label->wraps_ = true;
  return label;
}

void TextField::setStringValue(std::string text) {
  text_ = std::move(text);
  notifyChanged();
}

void TextField::setAlignment(TextAlignment alignment) {
  alignment_ = alignment;
  notifyChanged();
}

}  // namespace platform
