#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "platform/Url.hpp"

namespace platform {

// Opening files with an application over the session bus, the freedesktop.org way: an
// application that is D-Bus activatable, or that runs and owns its well-known name, takes files
// through one call of org.freedesktop.Application.Open on its object (the name with "." as "/").
// The bus is the one in DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus; none is ever
// started. Every call blocks the calling thread, each call on the bus up to a time limit: an
// application that owns the name and never answers cannot keep the caller.
namespace application_bus {

// How long each call on the bus may wait for its answer: the bus's usual limit, as GIO and
// libdbus have it.
inline constexpr std::chrono::milliseconds busTimeLimit{25'000};

// Whether `name` is a well-known name on a bus by the D-Bus rules ("com.example.App"): checked
// without GIO, which a share that never reaches the bus does not load.
bool isWellKnownName(std::string_view name);

// The application's well-known name on the bus: a desktop entry's id (its file name without
// ".desktop"), a bundle's CFBundleIdentifier, or NAME of the location `dbus:NAME` (an application
// known only by the name it owns); none when that is no valid bus name.
std::optional<std::string> busName(const Url& application);

// The location `dbus:NAME` of the application known only by `name`, the name it owns on the bus;
// none where that is no URL.
std::optional<Url> busLocation(std::string_view name);

// Opens `files` through `name` on the bus, as open() does, when the application takes files
// there: when a process owns the name on the bus now, or when it is `activatable` (its desktop
// entry says DBusActivatable=true) and the bus starts it (org.freedesktop.DBus.StartServiceByName)
// within `timeLimit`. Returns false, having asked the application nothing, when it does not run
// and is not activatable, when the bus could not start it (no service file for the name, a
// program that failed or never took the name, no answer in time: the desktop entry's Exec line is
// for that case), for a name that is no valid bus name, and without a session bus or GIO. Throws
// as open() does when the Open call fails, a started application's error answer included. Each
// of the two or three calls waits up to `timeLimit`.
bool openThrough(const std::string& name, bool activatable, const std::vector<Url>& files,
                 std::chrono::milliseconds timeLimit = busTimeLimit);

// The same for `application` (a desktop entry or a bundle) under its busName(), its desktop entry
// telling whether it is activatable.
bool openThrough(const Url& application, const std::vector<Url>& files);

// The process that owns `name` on the session bus now, as the bus tells it; none when nobody
// owns it, for a name that is no valid bus name, without a session bus or GIO, or when the bus
// does not answer within `timeLimit`.
std::optional<pid_t> ownerProcess(const std::string& name,
                                  std::chrono::milliseconds timeLimit = busTimeLimit);

// Asks `name` to open `files` in one call of org.freedesktop.Application.Open, with the files'
// URIs in order and, as platform data, the activation token and startup id that the program was
// started with (XDG_ACTIVATION_TOKEN as "activation-token", DESKTOP_STARTUP_ID as
// "desktop-startup-id"), so that the desktop brings the application to the front. Returns once the
// application has answered. Throws std::system_error when there is no session bus (ENOTCONN), no
// application could be started for the name (ENOENT), the bus refused the call (EACCES), no
// answer came within `timeLimit` (ETIMEDOUT), the application answered with an error (EIO), or
// GIO, loaded at the first call, is missing (ELIBACC); the bus's message is in what().
void open(const std::string& name, const std::vector<Url>& files,
          std::chrono::milliseconds timeLimit = busTimeLimit);

}  // namespace application_bus
}  // namespace platform
