#include "bench/ProcessTiming.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const auto& string : strings) pointers.push_back(const_cast<char*>(string.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

ProcessRun timed(const std::vector<std::string>& argv,
                 const std::vector<std::string>* environment) {
  const std::vector<char*> args = pointersTo(argv);
  const std::vector<char*> variables =
      environment ? pointersTo(*environment) : std::vector<char*>();
  const int nothing = environment ? ::open("/dev/null", O_RDWR | O_CLOEXEC) : -1;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    if (environment) {
      for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(nothing, stream);
      ::execve(args[0], args.data(), variables.data());
    } else {
      ::execv(args[0], args.data());
    }
    ::_exit(127);
  }
  if (nothing >= 0) ::close(nothing);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  ProcessRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.peakKiB = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace

ProcessRun timed(const std::vector<std::string>& argv) { return timed(argv, nullptr); }

ProcessRun timed(const std::vector<std::string>& argv,
                 const std::vector<std::string>& environment) {
  return timed(argv, &environment);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}
