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

PrivateBus::PrivateBus(const fs::path& folder) : folder_(folder) {
  fs::create_directories(serviceFolder());
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
  // With --fork the daemon answers once it listens, and leaves standard output behind.
  const auto started = run({"dbus-daemon", "--config-file=" + (folder_ / "bus.conf").string(),
                            "--fork", "--print-address=1", "--print-pid=1"});
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

void PrivateBus::addService(const std::string& name, const std::string& command) const {
  writeFile(serviceFolder() / (name + ".service"),
            "[D-BUS Service]\nName=" + name + "\nExec=" + command + "\n");
}

bool privateBusAvailable() { return run({"dbus-daemon", "--version"}).exitStatus == 0; }

}  // namespace testing_support
