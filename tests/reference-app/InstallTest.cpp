// kelpword-reference installed as KelpWord (the install component `reference`): its desktop entry
// valid by the Desktop Entry rules, its manual page, its command line, and the session bus
// starting it from the installed service file when a share hands it files.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <signal.h>

#include "tests/reference-app/ReferenceAppFixture.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"

namespace reference_test {
namespace {

using testing_support::readFile;
using testing_support::run;

// Installs the component into `prefix`, as the packages are made from it.
void installReference(const fs::path& prefix) {
  const auto installed = run({CMAKE_COMMAND, "--install", BUILD_FOLDER, "--prefix", prefix.string(),
                              "--component", "reference"});
  ASSERT_EQ(installed.exitStatus, 0) << installed.out << installed.err;
}

TEST(InstalledReferenceAppTest, InstallsItsProgramEntryServiceIconAndManual) {
  testing_support::TempFolder temp;
  const auto prefix = temp / "prefix";
  installReference(prefix);
  const auto program = prefix / "bin/kelpword-reference";
  const auto entry = prefix / "share/applications/com.brenvik.kelpword.desktop";

  EXPECT_TRUE(fs::is_regular_file(program));
  EXPECT_TRUE(
      fs::is_regular_file(prefix / "share/icons/hicolor/scalable/apps/com.brenvik.kelpword.svg"));
  // The manual page compressed, as Debian wants it.
  const auto manual = prefix / "share/man/man1/kelpword-reference.1.gz";
  EXPECT_TRUE(fs::is_regular_file(manual) && readFile(manual).starts_with("\x1f\x8b")) << manual;
  const std::string text = readFile(entry);
  for (const std::string& line :
       {"Exec=\"" + program.string() + "\" %F", std::string("DBusActivatable=true"),
        std::string("StartupNotify=true"), std::string("Icon=com.brenvik.kelpword"),
        std::string("Categories=AudioVideo;")}) {
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << " in\n" << text;
  }
  // Never what opens a recording by default: no MIME types of its own.
  EXPECT_EQ(text.find("\nMimeType="), std::string::npos) << text;
  EXPECT_EQ(readFile(prefix / "share/dbus-1/services/com.brenvik.kelpword.service"),
            "[D-BUS Service]\nName=com.brenvik.kelpword\nExec=\"" + program.string() +
                "\" --gapplication-service\n");

  const auto validation = run({"desktop-file-validate", entry.string()});
  if (validation.exitStatus == 127) GTEST_SKIP() << "desktop-file-validate is not installed";
  EXPECT_EQ(validation.exitStatus, 0) << validation.out << validation.err;
  EXPECT_EQ(validation.out + validation.err, "") << "no warnings or hints either";
}

TEST(InstalledReferenceAppTest, HelpGoesToStandardOutputAndAUsageErrorExitsTwo) {
  struct Case {
    std::vector<std::string> arguments;
    int exitStatus;
    bool usageOnOutput;  // else on standard error
  };
  const std::vector<Case> cases{
      {.arguments = {"--help"}, .exitStatus = 0, .usageOnOutput = true},
      {.arguments = {"-h"}, .exitStatus = 0, .usageOnOutput = true},
      {.arguments = {"--no-such-option"}, .exitStatus = 2, .usageOnOutput = false},
      {.arguments = {"--keep-days=soon"}, .exitStatus = 2, .usageOnOutput = false},
      {.arguments = {"--gapplication-service", "x.m4a"}, .exitStatus = 2, .usageOnOutput = false},
  };
  for (const auto& [arguments, exitStatus, usageOnOutput] : cases) {
    SCOPED_TRACE(arguments.front());
    std::vector<std::string> argv{KELPWORD_REFERENCE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // No display: neither needs one.
    testing_support::ProcessOptions options;
    options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
    const auto result = run(argv, options);
    EXPECT_EQ(result.exitStatus, exitStatus) << result.err;
    const auto& usage = usageOnOutput ? result.out : result.err;
    EXPECT_NE(usage.find("usage: kelpword-reference"), std::string::npos) << usage;
    EXPECT_EQ(usageOnOutput ? result.err : result.out, "");
  }
}

// A call to the bus daemon itself, answered without an error.
void callBus(const std::string& address, const char* method, GVariant* parameters,
             const char* replyType, GVariant** reply = nullptr) {
  GError* error = nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  ASSERT_NE(bus, nullptr) << error->message;
  GVariant* answer = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
      parameters, replyType != nullptr ? G_VARIANT_TYPE(replyType) : nullptr,
      G_DBUS_CALL_FLAGS_NONE, 20000, nullptr, &error);
  g_object_unref(bus);
  ASSERT_NE(answer, nullptr) << error->message;
  if (reply != nullptr) {
    *reply = answer;
  } else {
    g_variant_unref(answer);
  }
}

TEST_F(ReferenceAppTest, TheBusStartsTheInstalledAppFromItsServiceFileAndItListsTheFile) {
  const auto prefix = temp_ / "prefix";
  installReference(prefix);
  fs::copy_file(prefix / "share/dbus-1/services/com.brenvik.kelpword.service",
                bus_->serviceFolder() / "com.brenvik.kelpword.service");
  // The bus leaves the program's output nowhere: the program at the service file's path records
  // its arguments and output, and runs the installed one.
  const auto program = prefix / "bin/kelpword-reference";
  const auto record = temp_ / "activated";
  fs::create_directories(record);
  fs::rename(program, prefix / "bin/kelpword-reference.installed");
  writeFile(program, "#!/bin/sh\necho \"$@\" > '" + (record / "arguments").string() +
                         "'\nexec \"$0.installed\" \"$@\" > '" + (record / "out").string() +
                         "' 2> '" + (record / "err").string() + "'\n");
  fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
  // What a session gives the programs that its bus starts: the display, and the test's home.
  GVariantBuilder environment;
  g_variant_builder_init(&environment, G_VARIANT_TYPE("a{ss}"));
  for (const auto& [name, value] : appEnvironment()) {
    g_variant_builder_add(&environment, "{ss}", name.c_str(), value.c_str());
  }
  callBus(bus_->address(), "UpdateActivationEnvironment", g_variant_new("(a{ss})", &environment),
          nullptr);
  const auto recording = inbox() / "A-SHARE/Interview.m4a";
  writeFile(recording, "audio");

  const auto answer = callOpen(bus_->address(), {{uriOf(recording)}, {}});
  EXPECT_EQ(answer.error, std::nullopt);
  EXPECT_TRUE(waitUntil([&] {
    return fs::exists(record / "out") &&
           shownIn(readFile(record / "out")).received == std::vector<fs::path>{recording};
  })) << (fs::exists(record / "err") ? readFile(record / "err") : "not started");
  EXPECT_EQ(readFile(record / "arguments"), "--gapplication-service\n");

  GVariant* owner = nullptr;
  callBus(bus_->address(), "GetConnectionUnixProcessID",
          g_variant_new("(s)", "com.brenvik.kelpword"), "(u)", &owner);
  ASSERT_NE(owner, nullptr);
  guint32 pid = 0;
  g_variant_get(owner, "(u)", &pid);
  g_variant_unref(owner);
  ::kill(static_cast<pid_t>(pid), SIGTERM);
  EXPECT_TRUE(waitUntil([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }));
  const auto errors = readFile(record / "err");
  EXPECT_EQ(errors.find("-CRITICAL **"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("-WARNING **"), std::string::npos) << errors;
}

}  // namespace
}  // namespace reference_test
