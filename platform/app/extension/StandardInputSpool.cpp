#include "platform/app/extension/StandardInputSpool.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/detail/Posix.hpp"

namespace platform {
namespace {

constexpr const char* spooledName = "standard input";

std::error_code errorOf(int error) { return {error, std::generic_category()}; }

bool refusesUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

StandardInputSpool::StandardInputSpool(Url folder) : folder_(std::move(folder)) {
  std::array<int, 2> wake{};
  if (::pipe2(wake.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "standard input: wake-up pipe");
  }
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
}

StandardInputSpool::~StandardInputSpool() {
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

StandardInputSpool::Result StandardInputSpool::file() {
  std::call_once(once_, [this] { result_ = spool(); });
  return result_;
}

void StandardInputSpool::cancel() {
  cancelled_.store(true);
  const char wake = 0;
  [[maybe_unused]] const auto written = ::write(wakeWrite_, &wake, 1);  // full: already woken
}

StandardInputSpool::Result StandardInputSpool::spool() {
  if (cancelled_.load()) return {std::nullopt, errorOf(ECANCELED)};
  const posix::FileDescriptor folder =
      posix::openAt(AT_FDCWD, folder_.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (folder.get() < 0) return {std::nullopt, errorOf(errno)};

  // Unnamed while it fills; else under a hidden name that goes again on every failure.
  std::string hiddenName;
  posix::FileDescriptor out =
      posix::openAt(folder.get(), ".", O_TMPFILE | O_WRONLY, S_IRUSR | S_IWUSR);
  if (out.get() < 0) {
    if (!refusesUnnamedFiles(errno)) return {std::nullopt, errorOf(errno)};
    std::string pattern = folder_.path() + "/." + spooledName + ".XXXXXX";
    out = posix::FileDescriptor(::mkostemp(pattern.data(), O_CLOEXEC));
    if (out.get() < 0) return {std::nullopt, errorOf(errno)};
    hiddenName = posix::parentAndName(pattern).name;
  }
  const auto failed = [&](int error) -> Result {
    if (!hiddenName.empty()) ::unlinkat(folder.get(), hiddenName.c_str(), 0);
    return {std::nullopt, errorOf(error)};
  };

  std::array<char, std::size_t{1} << 16> buffer{};
  std::size_t total = 0;
  for (;;) {
    std::array<pollfd, 2> waits{{{STDIN_FILENO, POLLIN, 0}, {wakeRead_, POLLIN, 0}}};
    if (::poll(waits.data(), waits.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return failed(errno);
    }
    if (cancelled_.load()) return failed(ECANCELED);
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return failed(errno);
    }
    if (const int error = posix::writeAll(out.get(), buffer.data(), static_cast<std::size_t>(n))) {
      return failed(error);
    }
    total += static_cast<std::size_t>(n);
  }
  if (total == 0) return failed(ENODATA);

  const int error =
      hiddenName.empty()
          ? posix::linkDescriptorAt(out.get(), folder.get(), spooledName)
          : (::renameat(folder.get(), hiddenName.c_str(), folder.get(), spooledName) == 0 ? 0
                                                                                          : errno);
  if (error != 0) return failed(error);
  hiddenName.clear();
  // Some file systems report a failed write only when the file is closed.
  if (::close(out.release()) != 0 && errno != EINTR) {
    const int closeError = errno;
    ::unlinkat(folder.get(), spooledName, 0);
    return {std::nullopt, errorOf(closeError)};
  }
  return {folder_.appendingPathComponent(spooledName), std::nullopt};
}

}  // namespace platform
