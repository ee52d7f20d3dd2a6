#pragma once

#include <string>

#include "platform/app/views/View.hpp"

namespace platform {

// A bar showing how far a task has come, with a line that says it in words ("42 % — 1.2 GiB of
// 2.9 GiB, 85 MiB/s"). A window draws the bar (read out by screen readers as its value) with the
// line as its text; a terminal draws the line. Main thread only.
class ProgressIndicator : public View {
 public:
  // 0 to 1; values outside are clamped. Telling whoever draws it only when it changes, so that
  // setting the same value again costs no drawing.
  double fraction() const { return fraction_; }
  void setFraction(double fraction);

  const std::string& detail() const { return detail_; }
  void setDetail(std::string detail);

 private:
  double fraction_ = 0;
  std::string detail_;
};

}  // namespace platform
