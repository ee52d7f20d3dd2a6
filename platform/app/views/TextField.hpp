#pragma once

#include <memory>
#include <string>

#include "platform/app/views/View.hpp"

namespace platform {

enum class TextAlignment { natural, left, center, right, justified };

// A text shown in a sheet. Main thread only.
class TextField : public View {
 public:
  // A multi-line label showing `text`, wrapping at its width; not editable, natural alignment.
  static std::shared_ptr<TextField> wrappingLabel(std::string text);

  const std::string& stringValue() const { return text_; }
  void setStringValue(std::string text);

  TextAlignment alignment() const { return alignment_; }
  void setAlignment(TextAlignment alignment);

  // True when the text wraps onto further lines at the field's width.
  bool wraps() const { return wraps_; }

 private:
  std::string text_;
  TextAlignment alignment_ = TextAlignment::natural;
  bool wraps_ = false;
};

}  // namespace platform
