#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"

namespace desktop_tests {

// The share extension as `cmake --install` of its component lays it out, in a prefix of the
// test's own: what a user's desktop meets.
class InstalledShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto installed =
        testing_support::run({CMAKE_COMMAND, "--install", BUILD_FOLDER, "--prefix",
                              prefix().string(), "--component", "share"});
    ASSERT_EQ(installed.exitStatus, 0) << installed.out << installed.err;
  }

  std::filesystem::path prefix() const { return temp_ / "prefix"; }

  testing_support::TempFolder temp_;
};

}  // namespace desktop_tests
