#include "platform/app/sandbox/BrokerWire.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace broker_wire_test {
namespace {

namespace wire = platform::brokerwire;

// Both ends of a connection, as the broker and the confined side hold them.
class BrokerWire : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends_), 0); }
  void TearDown() override {
    for (const int end : ends_) {
      if (end >= 0) ::close(end);
    }
  }

  int sender() const { return ends_[0]; }
  int receiver() const { return ends_[1]; }
  void closeSender() {
    ::close(ends_[0]);
    ends_[0] = -1;
  }

  // Writes `bytes` as they are, the way a hostile peer would.
  void writeRaw(const std::string& bytes) const {
    ASSERT_EQ(::write(sender(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

 private:
  int ends_[2] = {-1, -1};
};

std::string number(std::uint32_t value) {
  return {reinterpret_cast<const char*>(&value), sizeof value};
}

TEST_F(BrokerWire, AMessageArrivesWholeWithEmptyAndBinaryFields) {
  const wire::Message sent{2, {"", std::string("a\0b", 3), std::string(70000, 'x'), "/tmp/ä"}};
  // Large enough not to fit the socket's buffer at once: send and receive must run side by side.
  std::optional<wire::Message> received;
  std::thread reader([&] { received = wire::receive(receiver()); });
  EXPECT_TRUE(wire::send(sender(), sent));
  reader.join();
  ASSERT_TRUE(received);
  EXPECT_EQ(received->kind, sent.kind);
  EXPECT_EQ(received->fields, sent.fields);
}

TEST_F(BrokerWire, AMessageBeyondTheBoundsIsNeverSent) {
  const wire::Message tooLong{1, {std::string(wire::maximumBytes, 'x')}};
  try {
    wire::send(sender(), tooLong);
    FAIL() << "sent";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::argument_list_too_long);
  }
  closeSender();
  EXPECT_FALSE(wire::receive(receiver())) << "nothing was written";
}

TEST_F(BrokerWire, ABrokenMessageEndsTheConnection) {
  const std::string oneField = number(1) + number(1) + number(3) + "abc";
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"a length beyond the bounds",
       number(static_cast<std::uint32_t>(wire::maximumBytes)) + std::string(64, 'x')},
      {"a field running past the body", number(16) + number(1) + number(1) + number(100) + "abcd"},
      {"bytes after the last field",
       number(static_cast<std::uint32_t>(oneField.size() + 2)) + oneField + "zz"},
      {"more fields than the bounds", number(8) + number(1) + number(wire::maximumFields + 1)},
      {"a body shorter than its length", number(100) + oneField},
      {"a length cut short", std::string(2, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    writeRaw(c.bytes);
    closeSender();
    EXPECT_FALSE(wire::receive(receiver()));
  }
}

}  // namespace
}  // namespace broker_wire_test
