#include "tests/reference-app/PrivateBus.hpp"

#include <csignal>
#include <sstream>

#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"

namespace reference_test {

std::unique_ptr<PrivateBus> PrivateBus::start(const std::filesystem::path& folder,
                                              std::string& whyNot) {
  const auto configuration = folder / "bus.conf";
  testing_support::writeFile(
      configuration,
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<busconfig>\n"
      "  <type>session</type>\n"
      "  <listen>unix:dir=" +
          folder.string() +
          "</listen>\n"
          "  <policy context=\"default\">\n"
          "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
          "    <allow eavesdrop=\"true\"/>\n"
          "    <allow own=\"*\"/>\n"
          "  </policy>\n"
          "</busconfig>\n");
  // Forked into the background, the daemon prints its address and process number and lets go of
  // the output.
  const auto result =
      testing_support::run({"dbus-daemon", "--config-file=" + configuration.string(), "--fork",
                            "--print-address=1", "--print-pid=1"});
  std::unique_ptr<PrivateBus> bus(new PrivateBus);
  std::stringstream lines(result.out);
  std::string pid;
  if (result.exitStatus != 0 || !std::getline(lines, bus->address_) || !std::getline(lines, pid) ||
      bus->address_.empty() || pid.empty()) {
    whyNot = "dbus-daemon did not start (package dbus): " + result.err;
    return nullptr;
  }
  bus->daemon_ = static_cast<pid_t>(std::stol(pid));
  return bus;
}

PrivateBus::~PrivateBus() {
  // Forked away from the test, the daemon is not the test's child: it is ended, not waited for.
  if (daemon_ > 0) ::kill(daemon_, SIGTERM);
}

}  // namespace reference_test
