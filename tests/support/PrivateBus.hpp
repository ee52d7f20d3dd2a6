#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testing_support {

// A session bus of the test's own, that starts services from the service files in
// serviceFolder(). Never the machine's bus. Stopped, with what it started, when the object goes.
class PrivateBus {
 public:
  enum class Configuration {
    // A configuration written in the folder: a socket there, serviceFolder() its one service
    // folder.
    ofItsOwn,
    // The installed session configuration (dbus-daemon --session), as a desktop session has it:
    // its standard service folders, the XDG ones beneath empty folders in the folder. The
    // daemon's built-in data folder (/usr/share/dbus-1/services) is still read.
    standardSession,
  };

  // Starts the daemon, its files in `folder`. Throws std::runtime_error when dbus-daemon could
  // not be started.
  explicit PrivateBus(const std::filesystem::path& folder,
                      Configuration configuration = Configuration::ofItsOwn);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // For DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }
  // Where `<name>.service` files go; the daemon reads them when it is asked for a name.
  std::filesystem::path serviceFolder() const;
  // Writes a service file that has the daemon start `command` (an Exec line) for `name`.
  void addService(const std::string& name, const std::string& command) const;

 private:
  void start(const std::vector<std::string>& argv);

  std::filesystem::path folder_;
  Configuration configuration_;
  std::string address_;
  pid_t daemon_ = -1;
};

// Whether dbus-daemon is installed.
bool privateBusAvailable();

}  // namespace testing_support
