#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::brokerwire {

// What a request asks of the launch broker. New kinds take new numbers; a broker answers one it
// does not know with EOPNOTSUPP.
enum class Request : std::uint32_t {
  // Fields: the application's location (a path, or `dbus:NAME` for the trusted application known
  // only by the name it owns on the session bus), then the files' paths. Answer: the started
  // programs' process ids, as decimal text.
  open = 1,
  // Fields: process ids as decimal text. Answer: where each one's executable lies, "" for one
  // that cannot be read.
  executables = 2,
  // Fields: a name on the session bus. Answer: the process id of its owner, as decimal text, where
  // it is the trusted application's name and a process of the sharing user owns it; no field
  // otherwise.
  busOwner = 3,
};

// One message on the broker's connection, either way: a kind and a list of byte strings. A
// request's kind is a Request; an answer's kind is an errno, 0 for success.
struct Message {
  std::uint32_t kind = 0;
  std::vector<std::string> fields;
};

// The bounds of a message, so that a confused or hostile peer cannot make the other side hold
// more than a long command line.
inline constexpr std::uint32_t maximumFields = 1U << 16;
inline constexpr std::size_t maximumBytes = std::size_t{8} << 20;

// Sends `message` whole on the stream socket `connection`. False when the connection has ended;
// throws std::system_error(E2BIG) for a message beyond the bounds, sending nothing.
bool send(int connection, const Message& message);

// The next message; none when the connection has ended or the peer broke the bounds (the
// connection is then unusable).
std::optional<Message> receive(int connection);

}  // namespace platform::brokerwire
