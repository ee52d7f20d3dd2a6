#include "platform/app/views/ProgressIndicator.hpp"

#include <algorithm>
#include <utility>

namespace platform {

void ProgressIndicator::setFraction(double fraction) {
  fraction = std::clamp(fraction, 0.0, 1.0);
  if (fraction == fraction_) return;
  fraction_ = fraction;
  notifyChanged();
}

void ProgressIndicator::setDetail(std::string detail) {
  if (detail == detail_) return;
  detail_ = std::move(detail);
  notifyChanged();
}

}  // namespace platform
