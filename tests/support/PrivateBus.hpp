#pragma once

#include <filesystem>
#include <string>

#include <sys/types.h>

namespace testing_support {

// A session bus of the test's own: a dbus-daemon with a configuration in `folder`, listening on a
// socket there, that starts services from the service files in serviceFolder(). Never the
// machine's bus. Stopped, with what it started, when the object goes.
class PrivateBus {
 public:
  // Starts the daemon. Throws std::runtime_error when dbus-daemon could not be started.
  explicit PrivateBus(const std::filesystem::path& folder);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // For DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }
  // Where `<name>.service` files go; the daemon reads them when it is asked for a name.
  std::filesystem::path serviceFolder() const { return folder_ / "services"; }
  // Writes a service file that has the daemon start `command` (an Exec line) for `name`.
  void addService(const std::string& name, const std::string& command) const;

 private:
  std::filesystem::path folder_;
  std::string address_;
  pid_t daemon_ = -1;
};

// Whether dbus-daemon is installed.
bool privateBusAvailable();

}  // namespace testing_support
