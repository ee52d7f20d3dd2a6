#include "tests/support/PrivateBus.hpp"

#include <chrono>
#include <csignal>
#include <sstream>
#include <stdexcept>

#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/WaitUntil.hpp"

namespace testing_support {

namespace fs = std::filesystem;

namespace {

// The session configuration's XDG data folders, empty but for what addService() puts there.
fs::path dataHome(const fs::path& folder) { return folder / "data-home"; }
fs::path dataDirs(const fs::path& folder) { return folder / "data-dirs"; }

}  // namespace

PrivateBus::PrivateBus(const fs::path& folder, Configuration configuration)
    : folder_(folder), configuration_(configuration) {
  fs::create_directories(serviceFolder());
  if (configuration_ == Configuration::standardSession) {
    fs::create_directories(dataDirs(folder_));
    start({"dbus-daemon", "--session"});
    return;
  }
  writeFile(folder_ / "bus.conf",
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <listen>unix:path=" +
                (folder_ / "bus").string() +
                "</listen>\n"
                "  <servicedir>" +
                serviceFolder().string() +
                "</servicedir>\n"
                "  <policy context=\"default\">\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n"
                "    <allow own=\"*\"/>\n"
                "  </policy>\n"
                "</busconfig>\n");
  start({"dbus-daemon", "--config-file=" + (folder_ / "bus.conf").string()});
}

void PrivateBus::start(const std::vector<std::string>& argv) {
  // The session configuration's service folders lie beneath these, none of the machine's; the
  // test's runtime folder is no service folder either.
  ProcessOptions options;
  options.environment = {{"XDG_DATA_HOME", dataHome(folder_).string()},
                         {"XDG_DATA_DIRS", dataDirs(folder_).string()}};
  options.unsetEnvironment = {"XDG_RUNTIME_DIR"};
  // With --fork the daemon answers once it listens, and leaves standard output behind.
  std::vector<std::string> command = argv;
  command.insert(command.end(), {"--fork", "--print-address=1", "--print-pid=1"});
  const auto started = run(command, options);
  std::istringstream lines(started.out);
  std::string pid;
  std::getline(lines, address_);
  std::getline(lines, pid);
  if (started.exitStatus != 0 || address_.empty() || pid.empty()) {
    throw std::runtime_error("dbus-daemon did not start: " + started.err);
  }
  daemon_ = static_cast<pid_t>(std::stol(pid));
}

PrivateBus::~PrivateBus() {
  if (daemon_ <= 0) return;
  ::kill(daemon_, SIGTERM);
  // Not our child (it forked away): wait until it has gone.
  waitUntil([this] { return ::kill(daemon_, 0) != 0; }, std::chrono::seconds(10));
}

fs::path PrivateBus::serviceFolder() const {
  if (configuration_ == Configuration::standardSession) {
    return dataHome(folder_) / "dbus-1" / "services";
  }
  return folder_ / "services";
}

void PrivateBus::addService(const std::string& name, const std::string& command) const {
  writeFile(serviceFolder() / (name + ".service"),
            "[D-BUS Service]\nName=" + name + "\nExec=" + command + "\n");
}

bool privateBusAvailable() { return run({"dbus-daemon", "--version"}).exitStatus == 0; }

}  // namespace testing_support
