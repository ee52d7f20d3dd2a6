#include "platform/app/sandbox/BrokerWire.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>

#include <sys/socket.h>

namespace platform::brokerwire {
namespace {

// On the wire: the length of what follows, then the kind, the count of fields, and each field as
// its length and its bytes; all numbers in the host's order (both ends are the same program).
// The leading length lets a message be read in two calls however many fields it has.
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

// Reads the numbers and fields of a message's body in turn, never past its end.
class BodyReader {
 public:
  explicit BodyReader(std::string_view body) : rest_(body) {}

  bool number(std::uint32_t& value) {
    if (rest_.size() < sizeof value) return false;
    std::memcpy(&value, rest_.data(), sizeof value);
    rest_.remove_prefix(sizeof value);
    return true;
  }

  bool field(std::string& value) {
    std::uint32_t length = 0;
    if (!number(length) || rest_.size() < length) return false;
    value.assign(rest_.substr(0, length));
    rest_.remove_prefix(length);
    return true;
  }

  bool atEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace

bool send(int connection, const Message& message) {
  std::size_t total = 3 * sizeof(std::uint32_t);
  for (const auto& field : message.fields) total += sizeof(std::uint32_t) + field.size();
  if (message.fields.size() > maximumFields || total > maximumBytes) {
    throw std::system_error(E2BIG, std::generic_category(), "launch broker message");
  }
  std::string bytes;
  bytes.reserve(total);
  append(bytes, static_cast<std::uint32_t>(total - sizeof(std::uint32_t)));
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
  std::uint32_t length = 0;
  if (!receiveAll(connection, reinterpret_cast<char*>(&length), sizeof length) ||
      length > maximumBytes - sizeof length) {
    return std::nullopt;
  }
  std::string body(length, '\0');
  if (!receiveAll(connection, body.data(), body.size())) return std::nullopt;

  BodyReader reader(body);
  Message message;
  std::uint32_t count = 0;
  if (!reader.number(message.kind) || !reader.number(count) || count > maximumFields) {
    return std::nullopt;
  }
  message.fields.resize(count);
  for (auto& field : message.fields) {
    if (!reader.field(field)) return std::nullopt;
  }
  if (!reader.atEnd()) return std::nullopt;
  return message;
}

}  // namespace platform::brokerwire
