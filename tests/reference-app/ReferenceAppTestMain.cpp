#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "tests/reference-app/ReferenceAppTestEnvironment.hpp"
#include "tests/window/WindowTestEnvironment.hpp"

// The window tests' look-up of a program on $PATH, which their X server needs, lives beside their
// own main: here it is this binary's.
namespace window_test {

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): tests only read it
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (::access((std::filesystem::path(folder) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace window_test

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
