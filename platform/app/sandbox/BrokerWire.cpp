#include "platform/app/sandbox/BrokerWire.hpp"

#include <cerrno>
#include <system_error>

#include <sys/socket.h>

namespace platform::brokerwire {
namespace {

// On the wire: the kind, the count of fields, then each field as its length and its bytes, all
// numbers in the host's order (both ends are the same program).
template <class T>
void append(std::string& buffer, T value) {
  buffer.append(reinterpret_cast<const char*>(&value), sizeof value);
}

bool receiveAll(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

template <class T>
bool receiveValue(int fd, T& value) {
  return receiveAll(fd, reinterpret_cast<char*>(&value), sizeof value);
}

}  // namespace

bool send(int connection, const Message& message) {
  std::size_t total = 2 * sizeof(std::uint32_t);
  for (const auto& field : message.fields) total += sizeof(std::uint32_t) + field.size();
  if (message.fields.size() > maximumFields || total > maximumBytes) {
    throw std::system_error(E2BIG, std::generic_category(), "launch broker message");
  }
  std::string bytes;
  bytes.reserve(total);
  append(bytes, message.kind);
  append(bytes, static_cast<std::uint32_t>(message.fields.size()));
  for (const auto& field : message.fields) {
    append(bytes, static_cast<std::uint32_t>(field.size()));
    bytes += field;
  }
  const char* data = bytes.data();
  std::size_t size = bytes.size();
  while (size > 0) {
    // No SIGPIPE for a broker that has gone: the caller hears of it from the answer.
    const ssize_t n = ::send(connection, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<Message> receive(int connection) {
  Message message;
  std::uint32_t count = 0;
  if (!receiveValue(connection, message.kind) || !receiveValue(connection, count) ||
      count > maximumFields) {
    return std::nullopt;
  }
  message.fields.resize(count);
  std::size_t total = 2 * sizeof(std::uint32_t);
  for (auto& field : message.fields) {
    std::uint32_t length = 0;
    if (!receiveValue(connection, length)) return std::nullopt;
    total += sizeof length + length;
    if (total > maximumBytes) return std::nullopt;
    field.resize(length);
    if (!receiveAll(connection, field.data(), length)) return std::nullopt;
  }
  return message;
}

}  // namespace platform::brokerwire
