// kelpword-share confined to the inbox, as a user runs it: what it may still write, that the
// share and the hand-off work all the same, that KelpWord runs outside the confinement, and what
// happens without Landlock or without the broker that starts KelpWord.
#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/app/sandbox/Confinement.hpp"
#include "tests/e2e/E2eFixture.hpp"
#include "tests/e2e/LiveShare.hpp"
#include "tests/support/Terminal.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

constexpr const char* unconfinedNotice =
    "kelpword-share: this kernel offers no Landlock: running unconfined\n";

struct Probe {
  std::string line;      // operation, path and perhaps a target, tab-separated
  const char* expected;  // "OK" or the errno's name
  int sinceAbi = 1;      // the Landlock ABI that first confines it
};

class ConfinementTest : public ShareExtensionTest {
 protected:
  void SetUp() override {
    ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    if (platform::landlock::abiVersion() == 0) GTEST_SKIP() << "this kernel offers no Landlock";
    makeInbox();
    writeFile(folder() / "Interview.m4a", "recording");
  }

  // What the probe printed for each of its lines: "OK" or an errno's name.
  static std::map<std::string, std::string> probeResults(const std::string& err) {
    std::map<std::string, std::string> results;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("probe: ")) continue;
      const auto split = line.rfind(": ");
      results[line.substr(7, split - 7)] = line.substr(split + 2);
    }
    return results;
  }

  // The probe build of kelpword-share sharing the recording, trying `lines` from inside its
  // sandbox; or, `withoutLandlock`, as on a kernel without it.
  testing_support::ProcessResult runProbe(const std::string& lines,
                                          bool withoutLandlock = false) const {
    testing_support::ProcessOptions options;
    options.environment = environment();
    options.environment.emplace_back("CONFINEMENT_PROBE", lines);
    std::vector<std::string> argv{KELPWORD_SHARE_PROBE, (folder() / "Interview.m4a").string()};
    if (withoutLandlock) argv.insert(argv.begin(), WITHOUT_LANDLOCK);
    return testing_support::run(argv, options);
  }

  // Tries every probe in one share, which succeeds, and expects each to end as this kernel's
  // Landlock has it.
  void expectProbes(const std::vector<Probe>& probes) const {
    std::string listed;
    for (const auto& probe : probes) listed += probe.line + "\n";

    const auto result = runProbe(listed);

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto results = probeResults(result.err);
    const int abi = platform::landlock::abiVersion();
    for (const auto& probe : probes) {
      SCOPED_TRACE(probe.line);
      const auto found = results.find(probe.line);
      ASSERT_NE(found, results.end()) << result.err;
      EXPECT_EQ(found->second, abi >= probe.sinceAbi ? probe.expected : "OK");
    }
  }

  // Names left in the temporary folder by the runtime or its sandbox.
  std::vector<std::string> temporaryLeftovers() const {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder())) {
      const auto name = entry.path().filename().string();
      if (name.starts_with("kelpword-share") || name.starts_with("share-extension.") ||
          name.starts_with("item-provider-")) {
        left.push_back(name);
      }
    }
    return left;
  }
};

TEST_F(ConfinementTest, AConfinedShareLandsInTheInboxAndKelpWordWritesOutsideIt) {
  const auto result = share(
      {(folder() / "Interview.m4a").string(), "--type", "public.mp3", "--name", "Voice memo", "-"},
      "ID3 data");

  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, sending);
  EXPECT_EQ(result.err, "") << "confined without a word";
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(readFile(folders[0] / "Interview.m4a"), "recording");
  EXPECT_EQ(readFile(folders[0] / "Voice memo.mp3"), "ID3 data");
  // The stand-in KelpWord writes its record beside the home, far from the inbox: it runs
  // unconfined.
  const auto starts = opened();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].files, (std::vector<std::string>{(folders[0] / "Interview.m4a").string(),
                                                       (folders[0] / "Voice memo.mp3").string()}));
  EXPECT_TRUE(fs::exists(folder() / "opened.txt"));
  EXPECT_EQ(temporaryLeftovers(), std::vector<std::string>{})
      << "the sandbox's temporary folder, which the confined process cannot remove, has gone";
}

TEST_F(ConfinementTest, TheConfinedProcessWritesOnlyInTheInboxAndReadsEverywhere) {
  const std::string inbox = this->inbox().string();
  const std::string outside = folder().string();  // $TMPDIR, and the home's parent
  const std::string home = this->home().string();
  const std::string kelpWordFolder = this->inbox().parent_path().string();
  writeFile(folder() / "existing.txt", "kept");
  writeFile(this->inbox() / "old.txt", "old");
  fs::create_directories(folder() / "empty");

  const std::vector<Probe> probes = {
      {"create\t" + inbox + "/new.txt", "OK"},
      {"mkdir\t" + inbox + "/sub", "OK"},
      {"rename\t" + inbox + "/new.txt\t" + inbox + "/sub/moved.txt", "OK"},
      {"truncate\t" + inbox + "/sub/moved.txt", "OK"},
      {"remove\t" + inbox + "/old.txt", "OK"},
      {"symlink\t" + inbox + "/link\t" + outside + "/existing.txt", "OK"},
      {"append\t/dev/null", "OK"},
      {"read\t" + outside + "/existing.txt", "OK"},
      {"list\t" + outside, "OK"},
      {"create\t" + outside + "/new.txt", "EACCES"},
      {"create\t" + home + "/new.txt", "EACCES"},
      {"create\t" + kelpWordFolder + "/new.txt", "EACCES"},
      {"mkdir\t" + outside + "/made", "EACCES"},
      {"append\t" + outside + "/existing.txt", "EACCES"},
      {"truncate\t" + outside + "/existing.txt", "EACCES", 3},
      {"remove\t" + outside + "/existing.txt", "EACCES"},
      {"remove\t" + outside + "/empty", "EACCES"},
      {"rename\t" + outside + "/existing.txt\t" + outside + "/renamed.txt", "EACCES"},
      {"rename\t" + outside + "/existing.txt\t" + inbox + "/taken.txt", "EACCES"},
      {"rename\t" + inbox + "/sub/moved.txt\t" + outside + "/escaped.txt", "EACCES"},
      {"symlink\t" + outside + "/link\t" + inbox, "EACCES"},
      {"remove\t" + inbox, "EACCES"},  // the inbox itself belongs to the folder above it
  };
  ASSERT_NO_FATAL_FAILURE(expectProbes(probes));

  // Nothing that was refused happened.
  EXPECT_EQ(readFile(folder() / "existing.txt"), "kept");
  for (const char* name : {"new.txt", "made", "renamed.txt", "escaped.txt", "link"}) {
    EXPECT_FALSE(fs::exists(folder() / name)) << name;
  }
  EXPECT_FALSE(fs::exists(this->home() / "new.txt"));
  EXPECT_FALSE(fs::exists(this->inbox().parent_path() / "new.txt"));
  EXPECT_FALSE(fs::exists(this->inbox() / "taken.txt"));
  EXPECT_TRUE(fs::is_directory(folder() / "empty"));
  // And what was allowed did, the share included.
  EXPECT_EQ(readFile(this->inbox() / "sub/moved.txt"), "");
  EXPECT_FALSE(fs::exists(this->inbox() / "old.txt"));
  ASSERT_EQ(opened().size(), 1u);
}

TEST_F(ConfinementTest, WithoutAnInboxNothingMayBeWrittenWhereItBelongs) {
  fs::remove_all(this->inbox());
  const std::string inbox = this->inbox().string();

  const auto result = runProbe("mkdir\t" + inbox + "\ncreate\t" + home().string() + "/new.txt\n");

  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_EQ(result.out, sending + openFirst);
  const auto results = probeResults(result.err);
  EXPECT_EQ(results.at("mkdir\t" + inbox), "EACCES") << result.err;
  EXPECT_EQ(results.at("create\t" + home().string() + "/new.txt"), "EACCES") << result.err;
  EXPECT_FALSE(fs::exists(this->inbox()));
}

TEST_F(ConfinementTest, WithoutLandlockTheShareRunsUnconfinedAndSaysSoOnce) {
  const auto result =
      share({KELPWORD_SHARE, (folder() / "Interview.m4a").string()}, "", WITHOUT_LANDLOCK);

  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, sending);
  EXPECT_EQ(result.err, unconfinedNotice);
  ASSERT_EQ(shareFolders().size(), 1u);
  EXPECT_EQ(opened().size(), 1u);

  // The probe's refusals above are the confinement's: here the same write succeeds.
  const auto probed = runProbe("create\t" + folder().string() + "/free", /*withoutLandlock=*/true);
  EXPECT_EQ(probeResults(probed.err)["create\t" + folder().string() + "/free"], "OK") << probed.err;
  EXPECT_TRUE(fs::exists(folder() / "free"));
  EXPECT_EQ(opened(2).size(), 2u);
}

// A process of the same user outside the sandbox, and a UNIX socket listening outside it.
class Outside {
 public:
  explicit Outside(const fs::path& socketPath) {
    victim_ = ::fork();
    if (victim_ == 0) {
      ::pause();
      ::_exit(0);
    }
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.string().copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0) {
      ADD_FAILURE() << "cannot listen at " << socketPath;
    }
  }
  ~Outside() {
    testing_support::endChild(victim_, SIGKILL);
    ::close(listener_);
  }
  Outside(const Outside&) = delete;
  Outside& operator=(const Outside&) = delete;

  pid_t victim() const { return victim_; }
  bool victimLives() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(victim_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }
  bool wasConnected() const {
    const int connection = ::accept(listener_, nullptr, nullptr);
    if (connection >= 0) ::close(connection);
    return connection >= 0;
  }

 private:
  pid_t victim_ = -1;
  int listener_ = -1;
};

TEST_F(ConfinementTest, TheConfinedProcessNeitherSignalsOutsideNorMakesSockets) {
  const Outside outside(folder() / "outside.sock");
  const std::vector<Probe> probes = {
      {"kill\t" + std::to_string(outside.victim()), "EPERM", 6},
      {"connect\t" + (folder() / "outside.sock").string(), "EPERM"},
      {"socketpair", "EPERM"},
      {"kill\t" + std::to_string(::getpid()), "EPERM", 6},
  };
  ASSERT_NO_FATAL_FAILURE(expectProbes(probes));

  if (platform::landlock::abiVersion() >= 6) {
    EXPECT_TRUE(outside.victimLives());
  }
  EXPECT_FALSE(outside.wasConnected());
  EXPECT_EQ(opened().size(), 1u) << "the share itself went on";
}

// A socket of the test's, inherited by the share, and a TCP listener on the loopback outside.
class InheritedSockets {
 public:
  InheritedSockets() {
    // Not close-on-exec: the share inherits them, as a compromised one might have them.
    unixSocket_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    tcpSocket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on the loopback";
    }
    port_ = ntohs(address.sin_port);
  }
  ~InheritedSockets() {
    for (const int fd : {unixSocket_, tcpSocket_, listener_}) ::close(fd);
  }
  InheritedSockets(const InheritedSockets&) = delete;
  InheritedSockets& operator=(const InheritedSockets&) = delete;

  std::string unixSocket() const { return std::to_string(unixSocket_); }
  std::string tcpSocket() const { return std::to_string(tcpSocket_); }
  std::string port() const { return std::to_string(port_); }
  bool wasConnected() const {
    const int connection = ::accept(listener_, nullptr, nullptr);
    if (connection >= 0) ::close(connection);
    return connection >= 0;
  }

 private:
  int unixSocket_ = -1;
  int tcpSocket_ = -1;
  int listener_ = -1;
  int port_ = 0;
};

// A socket in hand reaches nothing outside: neither a UNIX socket's path nor the loopback, and
// it can neither be bound nor listen.
TEST_F(ConfinementTest, ASocketInheritedReachesNothingOutside) {
  const Outside outside(folder() / "outside.sock");
  const InheritedSockets sockets;
  const std::string connectUnix =
      "connect-fd\t" + sockets.unixSocket() + "\t" + (folder() / "outside.sock").string();
  const std::string connectTcp = "connect-tcp\t" + sockets.tcpSocket() + "\t" + sockets.port();
  ASSERT_NO_FATAL_FAILURE(expectProbes({
      {connectUnix, "EPERM"},
      {connectTcp, "EPERM"},
      {"bind-tcp\t" + sockets.tcpSocket(), "EPERM"},
      {"listen\t" + sockets.tcpSocket(), "EPERM"},
  }));
  EXPECT_FALSE(outside.wasConnected());
  EXPECT_FALSE(sockets.wasConnected());

  // The refusals are the sandbox's: unconfined, the same socket connects.
  const auto unconfined = runProbe(connectTcp, /*withoutLandlock=*/true);
  EXPECT_EQ(probeResults(unconfined.err)[connectTcp], "OK") << unconfined.err;
  EXPECT_TRUE(sockets.wasConnected());
}

// Each kind of call that reaches beyond the sandbox is refused, as a kernel without it would
// answer (ENOSYS) where a program should fall back, else with EPERM. Unconfined, the kernel
// itself answers each of the deterministic ones.
TEST_F(ConfinementTest, TheConfinedProcessIsRefusedWholeKindsOfSystemCalls) {
  struct Call {
    const char* name;
    const char* confined;
    const char* unconfined = nullptr;  // where every kernel answers alike
  };
  const Call calls[] = {
      {.name = "io_uring_setup", .confined = "ENOSYS"},
      {.name = "io_uring_enter", .confined = "ENOSYS"},
      {.name = "io_uring_register", .confined = "ENOSYS"},
      {.name = "connect", .confined = "EPERM", .unconfined = "EBADF"},
      {.name = "bind", .confined = "EPERM", .unconfined = "EBADF"},
      {.name = "listen", .confined = "EPERM", .unconfined = "EBADF"},
      {.name = "accept", .confined = "EPERM", .unconfined = "EBADF"},
      {.name = "accept4", .confined = "EPERM", .unconfined = "EBADF"},
      {.name = "unshare", .confined = "EPERM", .unconfined = "EINVAL"},
      {.name = "setns", .confined = "EPERM", .unconfined = "EBADF"},
      {.name = "clone CLONE_NEWUSER", .confined = "EPERM", .unconfined = "EINVAL"},
      {.name = "clone CLONE_NEWNET", .confined = "EPERM", .unconfined = "EINVAL"},
      {.name = "clone3", .confined = "ENOSYS", .unconfined = "EINVAL"},
      {.name = "ptrace", .confined = "EPERM", .unconfined = "ESRCH"},
      {.name = "process_vm_readv", .confined = "EPERM", .unconfined = "EINVAL"},
      {.name = "process_vm_writev", .confined = "EPERM", .unconfined = "EINVAL"},
      {.name = "userfaultfd", .confined = "EPERM"},
      {.name = "perf_event_open", .confined = "EPERM"},
      {.name = "bpf", .confined = "EPERM"},
      {.name = "keyctl", .confined = "EPERM"},
      {.name = "add_key", .confined = "EPERM"},
      {.name = "request_key", .confined = "EPERM"},
      {.name = "mount", .confined = "EPERM"},
      {.name = "umount2", .confined = "EPERM"},
      {.name = "pivot_root", .confined = "EPERM"},
      {.name = "chroot", .confined = "EPERM"},
      {.name = "open_tree", .confined = "ENOSYS"},
      {.name = "fsopen", .confined = "ENOSYS"},
      {.name = "init_module", .confined = "EPERM"},
      {.name = "finit_module", .confined = "EPERM"},
      {.name = "kexec_load", .confined = "EPERM"},
      {.name = "open_by_handle_at", .confined = "EPERM"},
      {.name = "personality ADDR_NO_RANDOMIZE", .confined = "EPERM", .unconfined = "OK"},
  };
  std::vector<Probe> probes;
  std::string listed;
  for (const auto& call : calls) {
    probes.push_back({std::string("call\t") + call.name, call.confined});
    listed += probes.back().line + "\n";
  }
  ASSERT_NO_FATAL_FAILURE(expectProbes(probes));

  const auto unconfined = probeResults(runProbe(listed, /*withoutLandlock=*/true).err);
  for (const auto& call : calls) {
    SCOPED_TRACE(call.name);
    const auto answer = unconfined.find(std::string("call\t") + call.name);
    ASSERT_NE(answer, unconfined.end());
    if (call.unconfined != nullptr) {
      EXPECT_EQ(answer->second, call.unconfined);
    }
  }
}

// KelpWord's bundle where another user could change it: owned by another user, or in a folder
// anyone may write. Run as root, the broker would run that user's program as root; it refuses,
// and the share fails with the hand-off message.
TEST_F(ConfinementTest, KelpWordThatAnotherUserCouldChangeIsNeverStarted) {
  struct Place {
    const char* name;
    std::function<void(const fs::path& around, const fs::path& bundle)> change;
  };
  const Place places[] = {
      {"owned by another user",
       [](const fs::path&, const fs::path& bundle) {
         for (const auto& item : fs::recursive_directory_iterator(bundle)) {
           ASSERT_EQ(::lchown(item.path().c_str(), 65534, 65534), 0);
         }
         ASSERT_EQ(::chown(bundle.c_str(), 65534, 65534), 0);
       }},
      {"in a world-writable folder",
       [](const fs::path& around, const fs::path&) {
         fs::permissions(around, fs::perms::all);  // 0777, not sticky
       }},
  };
  for (const auto& place : places) {
    SCOPED_TRACE(place.name);
    const fs::path around = folder() / "Shared" / place.name;
    makeBundle(around / "Carrier.app", "com.brenvik.kelpword");
    const auto extension = placeExtension(around / "Carrier.app");
    place.change(around, around / "Carrier.app");

    const auto result = share({(folder() / "Interview.m4a").string()}, "", extension);

    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_EQ(result.out, sending + handOffFailed);
    EXPECT_FALSE(fs::exists(folder() / "opened.txt")) << "a program was started";
  }
}

// A compromised extension swaps a folder of the inbox between a link to KelpWord and a fake
// KelpWord while it asks for KelpWord through that folder: the broker runs KelpWord or nothing.
TEST_F(ConfinementTest, ACompromisedExtensionRacingLinksNeverHasTheBrokerRunItsFake) {
  makeBundle(folder() / "Apps/KelpWord.app", "com.brenvik.kelpword");
  const std::string line = "race\t" + this->inbox().string() + "\t" + (folder() / "Apps").string();

  const auto result = runProbe(line + "\n");

  const auto outcome = probeResults(result.err)[line];
  int started = -1;
  int refused = -1;
  ASSERT_EQ(std::sscanf(outcome.c_str(), "started %d refused %d", &started, &refused), 2)
      << result.err;
  // Both sides of the race were seen, or it proved nothing.
  EXPECT_GT(started, 0);
  EXPECT_GT(refused, 0);
  const auto starts = opened(static_cast<std::size_t>(started) + 1);
  // The raced requests' KelpWord, then the share's own hand-off to the demonstration KelpWord:
  // every start the broker reported is one of KelpWord's.
  EXPECT_EQ(starts.size(), static_cast<std::size_t>(started) + 1);
  for (const auto& start : starts) {
    EXPECT_TRUE(start.program.ends_with("/KelpWord.app/Contents/MacOS/KelpWord")) << start.program;
    EXPECT_EQ(start.program.find(this->inbox().string()), std::string::npos) << start.program;
  }
  EXPECT_FALSE(fs::exists(this->inbox().parent_path() / "pwned")) << "the fake ran unconfined";
}

TEST_F(ConfinementTest, TheConfinedProcessCannotTypeIntoTheTerminal) {
  std::array<int, 2> err{};
  ASSERT_EQ(::pipe2(err.data(), O_CLOEXEC), 0);
  auto environment = this->environment();
  environment.emplace_back("CONFINEMENT_PROBE", "tiocsti\t0\n");
  // The terminal stays on standard input, as the user's shell left it.
  const auto [child, terminal] = testing_support::startOnTerminal(
      {KELPWORD_SHARE_PROBE, (folder() / "Interview.m4a").string()},
      {environment, {{err[1], STDERR_FILENO}}});
  ::close(err[1]);
  std::string errors;
  std::array<char, 4096> buffer{};
  for (ssize_t n; (n = ::read(err[0], buffer.data(), buffer.size())) > 0;) {
    errors.append(buffer.data(), static_cast<std::size_t>(n));
  }
  ::close(err[0]);
  std::string seen;
  testing_support::readTerminalUntil(terminal, seen, "\x1b[?25h");
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(terminal);

  EXPECT_EQ(probeResults(errors)["tiocsti\t0"], "EPERM") << errors;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << seen;
}

TEST_F(ConfinementTest, AnInboxThatIsALinkGrantsNothing) {
  // The inbox links to the home: writing "in the inbox" would write anywhere in the home.
  fs::remove_all(this->inbox());
  fs::create_directory_symlink(home(), this->inbox());
  const std::string inbox = this->inbox().string();

  const auto result =
      runProbe("create\t" + inbox + "/new.txt\nmkdir\t" + home().string() + "/made\n");

  auto results = probeResults(result.err);
  EXPECT_EQ(results["create\t" + inbox + "/new.txt"], "EACCES") << result.err;
  EXPECT_EQ(results["mkdir\t" + home().string() + "/made"], "EACCES") << result.err;
  EXPECT_EQ(testing_support::namesIn(home()), std::vector<std::string>{"Library"})
      << "nothing written in the home, no share folder either";
  EXPECT_EQ(result.exitStatus, 1);
}

TEST_F(ConfinementTest, ConfinedWithDataOnStandardInputTheSheetTakesKeysFromTheTerminal) {
  // Standard input carries the shared data, so the sheet opens the terminal device anew, after
  // the confinement, and puts it in raw mode with ioctls.
  fs::remove_all(this->inbox());
  std::array<int, 2> data{};
  ASSERT_EQ(::pipe2(data.data(), O_CLOEXEC), 0);
  const auto [child, terminal] = testing_support::startOnTerminal(
      {KELPWORD_SHARE, "--type", "public.mp3", "-"}, {environment(), {{data[0], STDIN_FILENO}}});
  ::close(data[0]);
  EXPECT_EQ(::write(data[1], "ID3", 3), 3);
  ::close(data[1]);

  std::string seen;
  testing_support::readTerminalUntil(terminal, seen, "[ Close ]");  // no inbox: the failure sheet
  termios whileShown{};
  ASSERT_EQ(::tcgetattr(terminal, &whileShown), 0);
  EXPECT_EQ(whileShown.c_lflag & (ICANON | ECHO), 0u) << "keys are taken at once, unechoed";
  ASSERT_EQ(::write(terminal, "\r", 1), 1);
  testing_support::readTerminalUntil(terminal, seen, "\x1b[?25h");
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(terminal);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << seen;
  EXPECT_NE(seen.find("Open KelpWord once first"), std::string::npos) << seen;
}

TEST_F(ConfinementTest, WithTheBrokerKilledTheHandOffFailsWithItsMessage) {
  // Its standard input held, the share waits before its first item.
  LiveShare running({"--type", "public.mp3", "--name", "Voice memo", "-"}, environment());
  // Before its first item the share has started its broker, and nothing else.
  const auto children = running.children();
  ASSERT_EQ(children.size(), 1u);
  ASSERT_EQ(::kill(children[0], SIGKILL), 0);

  const auto result = running.finish("ID3 data");

  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_EQ(result.out, sending + handOffFailed);
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(readFile(folders[0] / "Voice memo.mp3"), "ID3 data") << "the received file stays";
  EXPECT_FALSE(fs::exists(folder() / "opened.txt")) << "KelpWord was not started";
}

}  // namespace
}  // namespace e2e
