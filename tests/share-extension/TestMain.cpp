// Runs the tests under nss_wrapper, so that the user database has no record for the tester and
// the controller's real home is the $HOME each test sets: the real home is never touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <unistd.h>

int main(int argc, char** argv) {
#ifdef NSS_WRAPPER_LIBRARY
  // NOLINTBEGIN(concurrency-mt-unsafe): before any thread
  if (std::getenv("NSS_WRAPPER_PASSWD") == nullptr) {
    auto append = [](const char* name, const std::string& option) {
      const char* existing = std::getenv(name);
      ::setenv(
          name,
          existing && *existing ? (std::string(existing) + ":" + option).c_str() : option.c_str(),
          1);
    };
    ::setenv("LD_PRELOAD", NSS_WRAPPER_LIBRARY, 1);
    ::setenv("NSS_WRAPPER_PASSWD", TEST_PASSWD, 1);
    ::setenv("NSS_WRAPPER_GROUP", TEST_GROUP, 1);
    append("ASAN_OPTIONS", "verify_asan_link_order=0");
    append("TSAN_OPTIONS", "report_mutex_bugs=0");
    ::execv("/proc/self/exe", argv);
    return 127;
  }
  // NOLINTEND(concurrency-mt-unsafe)
#endif
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
