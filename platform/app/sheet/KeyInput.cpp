#include "platform/app/sheet/KeyInput.hpp"

#include <array>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <asio/post.hpp>

#include "platform/MainThread.hpp"
#include "platform/app/views/Button.hpp"
#include "platform/detail/Posix.hpp"

namespace platform {

KeyInput::KeyInput(int fd, std::weak_ptr<View> root) : root_(std::move(root)) {
  if (fd < 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    ended_ = true;
    return;
  }
  reader_ = std::thread([this, fd] { read(fd); });
}

KeyInput::~KeyInput() {
  *alive_ = false;
  if (reader_.joinable()) {
    const char stop = 0;
    posix::writeAll(stopPipe_[1], &stop, 1);
    reader_.join();
  }
  for (const int fd : stopPipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void KeyInput::read(int fd) {
  // Everything the reader learns is handed to the main thread; it touches nothing else.
  auto onMain = [this, alive = alive_](bool ended) {
    asio::post(mainContext(), [this, alive, ended] {
      if (!*alive) return;
      if (ended) ended_ = true;
      pressDefaultButton();
    });
  };
  std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}}};
  while (true) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      onMain(true);
      return;
    }
    if (fds[1].revents != 0) return;
    std::array<char, 256> buffer{};
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      onMain(true);
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[static_cast<std::size_t>(i)] == '\r' ||
          buffer[static_cast<std::size_t>(i)] == '\n') {
        onMain(false);
      }
    }
  }
}

void KeyInput::sheetChanged() {
  if (ended_) pressDefaultButton();
}

void KeyInput::pressDefaultButton() {
  if (auto root = root_.lock()) root->performKeyEquivalent("\r");
}

}  // namespace platform
