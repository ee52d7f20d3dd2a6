// Entering the application sandbox where it cannot be made whole leaves nothing behind; the
// connections that Landlock refuses once the sandbox is closed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
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

// Landlock alone, without the seccomp filter: a TCP socket made before can neither connect to a
// port on the loopback nor be bound to one.
TEST(AppSandboxTest, ClosedLandlockRefusesTcpConnectionsAndBinds) {
  if (platform::landlock::abiVersion() < 4) GTEST_SKIP() << "the kernel's Landlock has no network";
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  ASSERT_EQ(::bind(listener, raw, sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, raw, &length), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int connecting = ::socket(AF_INET, SOCK_STREAM, 0);
    const int binding = ::socket(AF_INET, SOCK_STREAM, 0);
    if (!platform::refuseConnectionsOutside()) ::_exit(3);
    const bool connectRefused = ::connect(connecting, raw, sizeof address) != 0 && errno == EACCES;
    sockaddr_in any = address;
    any.sin_port = 0;
    const bool bindRefused =
        ::bind(binding, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 && errno == EACCES;
    ::_exit(connectRefused && bindRefused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(listener);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: connected or bound; 3: not applied";
}

}  // namespace
}  // namespace sandbox_test
