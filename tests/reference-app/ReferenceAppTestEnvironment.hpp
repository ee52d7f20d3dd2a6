#pragma once

#include <string>

#include "tests/window/VirtualDisplay.hpp"

namespace reference_test {

// The test process's X server (ReferenceAppTestMain.cpp), or none; then whyNoDisplay() says why.
window_test::VirtualDisplay* testDisplay();
const std::string& whyNoDisplay();

}  // namespace reference_test
