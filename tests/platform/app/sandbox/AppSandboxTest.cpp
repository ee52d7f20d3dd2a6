// Entering the application sandbox where it cannot be made whole leaves nothing behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/app/sandbox/AppSandbox.hpp"
#include "platform/app/sandbox/Confinement.hpp"
#include "tests/support/TempFolder.hpp"

namespace sandbox_test {
namespace {

TEST(AppSandboxTest, ASandboxWhoseBrokerCannotBeMadeLeavesNoTemporaryFolder) {
  if (platform::landlock::abiVersion() == 0) GTEST_SKIP() << "the kernel offers no Landlock";
  if (::geteuid() != 0) GTEST_SKIP() << "becoming another user takes root";
  const testing_support::TempFolder temp;
  std::filesystem::permissions(temp.path(), std::filesystem::perms::all);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // In a process of its own: were the sandbox entered after all, it would stay confined.
    ::setenv("TMPDIR", temp.path().c_str(), 1);  // NOLINT(concurrency-mt-unsafe): one thread
    // An unprivileged user allowed no more processes (root never is held back): the broker
    // cannot be forked.
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_NPROC, &none) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(3);
    }
    try {
      platform::AppSandbox::enter({.appSandbox = true}, "sandbox-test");
      ::_exit(1);
    } catch (const std::system_error& failure) {
      ::_exit(failure.code().value() == EAGAIN ? 0 : 2);
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: entered; 2: failed otherwise than at the fork; 3: no user to be";
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
}

}  // namespace
}  // namespace sandbox_test
