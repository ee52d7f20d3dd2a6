#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace testing_support {

struct ProcessResult {
  int exitStatus = -1;  // the exit code, or 128 + signal number
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::vector<std::pair<std::string, std::string>> environment;  // set on top of the test's own
  std::vector<std::string> unsetEnvironment;
  std::string input;                  // written to standard input, then closed
  std::optional<unsigned> runAsUser;  // run as this uid/gid (65534: nobody), no extra groups
  std::chrono::seconds timeout{60};   // killed after this
};

// Runs `argv` to its end and returns what it printed and how it ended.
ProcessResult run(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Runs `step` in a forked child, as the user `asUser` (its uid and gid, no extra groups) when
// given, and waits for it to end. Returns the child's exit status (as exitStatusOf): what `step`
// returned, 126 when the user could not be switched, 127 when `step` threw. The child ends by
// _exit whatever happens, so it never returns into the test's framework to run the rest of the
// suite a second time.
int runInChild(const std::function<int()>& step, std::optional<unsigned> asUser = std::nullopt);

// The exit code in a wait status, or 128 + the number of the signal that ended the process.
int exitStatusOf(int waitStatus);

// Sends `signal` to the child process `pid` and waits until it has ended.
void endChild(pid_t pid, int signal);

// The nss_wrapper library, or "" when it is not installed.
std::string nssWrapperLibrary();

// Environment entries that make getpwuid() read `passwdFile` (and an empty group file beside it).
// Under AddressSanitizer the preload needs verify_asan_link_order=0, which is added too, with
// detect_leaks=0: the programs run so are confined, and LeakSanitizer needs ptrace.
std::vector<std::pair<std::string, std::string>> nssWrapperEnvironment(
    const std::string& passwdFile, const std::string& groupFile);

}  // namespace testing_support
