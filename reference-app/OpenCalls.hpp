#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gio/gio.h>

namespace reference_app {

// One org.freedesktop.Application.Open call: the URIs as the caller wrote them, and the token the
// desktop gave the caller for bringing a window to the front (its platform data's
// "activation-token", else its "desktop-startup-id").
struct OpenRequest {
  std::vector<std::string> uris;
  std::optional<std::string> startupId;
};

// Takes the Open calls made to `objectPath` (org.freedesktop.Application's, and
// org.gtk.Application's that other GApplications make) off the bus connection before GApplication
// sees them, and leaves every other call to it. GApplication would turn each URI into a GFile, and
// GIO's local file system drops the host of a file:// URI on the way: file://otherhost/x.m4a would
// become the local /x.m4a. A call whose arguments are not Open's is left to GApplication too, which
// refuses it.
//
// Made on the main thread before the application registers its name, so that the call that
// started it by D-Bus activation is taken as well. Each call is answered on the main thread as
// soon as there is a handler, before the handler runs, and handed to it there; calls that arrive
// before handleWith() wait for it.
class OpenCalls {
 public:
  using Handler = std::function<void(OpenRequest)>;

  OpenCalls(GDBusConnection* bus, std::string objectPath);
  // Stops taking calls; those still waiting for a handler are answered with an error.
  ~OpenCalls();
  OpenCalls(const OpenCalls&) = delete;
  OpenCalls& operator=(const OpenCalls&) = delete;

  void handleWith(Handler handler);

  struct State;

 private:
  GDBusConnection* bus_;
  std::shared_ptr<State> state_;
  guint filter_ = 0;
};

// Platform data entries: a key and a string value.
using PlatformData = std::vector<std::pair<std::string, std::string>>;

// Hands `uris` to the instance that owns `name` with one Open call on `objectPath`, and waits for
// its answer. Throws std::runtime_error with GLib's message when the call fails.
void callOpen(GDBusConnection* bus, const std::string& name, const std::string& objectPath,
              const std::vector<std::string>& uris, const PlatformData& platformData);

}  // namespace reference_app
