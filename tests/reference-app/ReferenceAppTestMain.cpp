#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include "tests/reference-app/ReferenceAppTestEnvironment.hpp"

namespace reference_test {
namespace {

std::unique_ptr<window_test::VirtualDisplay> display;
std::string whyNot;

// One X server for the whole test process; the test process itself never opens it with a toolkit.
class DisplayEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { display = window_test::VirtualDisplay::start(whyNot); }
  void TearDown() override { display.reset(); }
};

}  // namespace

window_test::VirtualDisplay* testDisplay() { return display.get(); }

const std::string& whyNoDisplay() { return whyNot; }

}  // namespace reference_test

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new reference_test::DisplayEnvironment);
  return RUN_ALL_TESTS();
}
