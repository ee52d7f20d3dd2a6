#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

namespace reference_test {

// A session bus of the test's own (dbus-daemon), listening in a folder of the test's, so that
// neither the machine's bus nor another test's instance of the application is ever reached.
class PrivateBus {
 public:
  // Starts the daemon; none, with `whyNot` set, where it cannot start.
  static std::unique_ptr<PrivateBus> start(const std::filesystem::path& folder,
                                           std::string& whyNot);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // For DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }

 private:
  PrivateBus() = default;
  pid_t daemon_ = -1;
  std::string address_;
};

}  // namespace reference_test
