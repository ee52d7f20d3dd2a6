#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Url.hpp"

namespace platform {

// Opening files with an application over the session bus, the freedesktop.org way: an
// application that is D-Bus activatable, or that runs and owns its well-known name, takes files
// through one call of org.freedesktop.Application.Open on its object (the name with "." as "/").
// The bus is the one in DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus; none is ever
// started. Every call blocks the calling thread; no step has a time limit.
namespace application_bus {

// The application's well-known name on the bus: a desktop entry's id (its file name without
// ".desktop"), or a bundle's CFBundleIdentifier; none when that is no valid bus name.
std::optional<std::string> busName(const Url& application);

// Opens `files` through `name` on the bus, as open() does, when the application takes files
// there: when it is `activatable` (its desktop entry says DBusActivatable=true; the bus starts it
// when it does not run), or when a process owns the name on the bus now. Returns false, having
// done nothing, when it does not, for a name that is no valid bus name, and without a session bus
// or GIO; throws as open() does when the call fails.
bool openThrough(const std::string& name, bool activatable, const std::vector<Url>& files);

// The same for `application` (a desktop entry or a bundle) under its busName(), its desktop entry
// telling whether it is activatable.
bool openThrough(const Url& application, const std::vector<Url>& files);

// Asks `name` to open `files` in one call of org.freedesktop.Application.Open, with the files'
// URIs in order and, as platform data, the activation token and startup id that the program was
// started with (XDG_ACTIVATION_TOKEN as "activation-token", DESKTOP_STARTUP_ID as
// "desktop-startup-id"), so that the desktop brings the application to the front. Returns once the
// application has answered. Throws std::system_error when there is no session bus (ENOTCONN), no
// application could be started for the name (ENOENT), the bus refused the call (EACCES), the
// application answered with an error (EIO), or GIO, loaded at the first call, is missing
// (ELIBACC); the bus's message is in what().
void open(const std::string& name, const std::vector<Url>& files);

}  // namespace application_bus
}  // namespace platform
