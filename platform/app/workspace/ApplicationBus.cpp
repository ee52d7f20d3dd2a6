#include "platform/app/workspace/ApplicationBus.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <system_error>

#include <sys/stat.h>

#include "platform/app/workspace/Bundle.hpp"
#include "platform/app/workspace/DesktopEntry.hpp"
#include "platform/app/workspace/GioLibrary.hpp"
#include "platform/detail/Posix.hpp"

namespace platform::application_bus {
namespace {

// The scheme of the location of an application known only by its name on the bus.
constexpr std::string_view busScheme = "dbus:";

// The library, once a caller has made sure it loads.
const GioLibrary& gio() { return *gioLibrary(); }

// Closed before it goes, so that GIO's worker lets go of it at once.
struct ConnectionClose {
  void operator()(GDBusConnection* connection) const {
    gio().g_dbus_connection_close_sync(connection, nullptr, nullptr);
    gio().g_object_unref(connection);
  }
};
using Connection = std::unique_ptr<GDBusConnection, ConnectionClose>;

struct GErrorRelease {
  void operator()(GError* error) const { gio().g_error_free(error); }
};
using Error = std::unique_ptr<GError, GErrorRelease>;

struct GVariantRelease {
  void operator()(GVariant* value) const { gio().g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, GVariantRelease>;

// GVariant type strings, as G_VARIANT_TYPE makes them without calling into the library.
const GVariantType* variantType(const char* text) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): a type is its type string
  return reinterpret_cast<const GVariantType*>(text);
}

// Where the session bus runs: the address given, or the socket $XDG_RUNTIME_DIR/bus. GIO would
// fall back on "autolaunch:", which may start a bus of its own: only a bus that runs. Found
// without GIO, so that a program without a bus never loads it.
struct SessionBus {
  std::string location;
  bool isSocketPath;
};

std::optional<SessionBus> findSessionBus() {
  // NOLINTBEGIN(concurrency-mt-unsafe): the environment is only read.
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return SessionBus{address, false};
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  // NOLINTEND(concurrency-mt-unsafe)
  if (runtime == nullptr || *runtime == '\0') return std::nullopt;
  std::string socket = std::string(runtime) + "/bus";
  struct stat info {};
  if (::stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
  return SessionBus{std::move(socket), true};
}

std::string address(const SessionBus& bus) {
  if (!bus.isSocketPath) return bus.location;
  gchar* escaped = gio().g_dbus_address_escape_value(bus.location.c_str());
  std::string address = std::string("unix:path=") + escaped;
  gio().g_free(escaped);
  return address;
}

// A connection of our own, closed when it goes: GIO's shared one would outlive the hand-off.
Connection connect(const SessionBus& bus, GError** error) {
  return Connection(gio().g_dbus_connection_new_for_address_sync(
      address(bus).c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, error));
}

bool isNameElementCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

}  // namespace

// The D-Bus rules for a well-known name: at most 255 bytes, two or more elements separated by
// ".", each of ASCII letters, digits, "_" and "-", not beginning with a digit.
bool isWellKnownName(std::string_view name) {
  constexpr std::size_t maximumLength = 255;
  if (name.empty() || name.size() > maximumLength) return false;
  std::size_t elements = 0;
  for (std::size_t at = 0; at <= name.size();) {
    const std::size_t end = std::min(name.find('.', at), name.size());
    const std::string_view element = name.substr(at, end - at);
    if (element.empty() || (element.front() >= '0' && element.front() <= '9') ||
        !std::all_of(element.begin(), element.end(), isNameElementCharacter)) {
      return false;
    }
    ++elements;
    at = end + 1;
  }
  return elements >= 2;
}

namespace {

// GIO's time limit in milliseconds; G_MAXINT would be none.
int milliseconds(std::chrono::milliseconds limit) {
  return static_cast<int>(
      std::clamp<std::chrono::milliseconds::rep>(limit.count(), 1, G_MAXINT - 1));
}

// A call to the bus itself; null, the error dropped, when it fails.
Variant callBus(GDBusConnection* connection, const char* method, GVariant* parameters,
                const char* replyType, std::chrono::milliseconds limit) {
  return Variant(gio().g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
      parameters, variantType(replyType), G_DBUS_CALL_FLAGS_NONE, milliseconds(limit), nullptr,
      nullptr));
}

bool hasOwner(GDBusConnection* connection, const std::string& name,
              std::chrono::milliseconds limit) {
  const Variant reply =
      callBus(connection, "NameHasOwner", gio().g_variant_new("(s)", name.c_str()), "(b)", limit);
  if (!reply) return false;
  gboolean owned = FALSE;
  gio().g_variant_get(reply.get(), "(b)", &owned);
  return owned != FALSE;
}

// Has the bus start the application from its service file, apart from any call to it: whatever
// the bus answers then (no service, a program that failed or never took the name, no answer in
// time) says only that activation found nothing to start, while the Open call's own answer comes
// from an application that runs.
bool startService(GDBusConnection* connection, const std::string& name,
                  std::chrono::milliseconds limit) {
  // Success, or that it already runs; the flags are unused.
  return callBus(connection, "StartServiceByName", gio().g_variant_new("(su)", name.c_str(), 0U),
                 "(u)", limit) != nullptr;
}

// "com.example.App" lives at /com/example/App; "-", which object paths lack, becomes "_".
std::string objectPath(const std::string& name) {
  std::string path = "/" + name;
  for (char& c : path) {
    if (c == '.') c = '/';
    if (c == '-') c = '_';
  }
  return path;
}

// A variable of the environment the program was started with. A toolkit may take one out of the
// environment before main() (GTK does so with DESKTOP_STARTUP_ID when it is loaded, for its own
// windows), but the text the program was started with stays in /proc/self/environ.
std::optional<std::string> startedWith(const std::string& variable) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read.
  if (const char* value = std::getenv(variable.c_str()); value && *value) return value;
  std::ifstream environment("/proc/self/environ", std::ios::binary);
  const std::string prefix = variable + "=";
  for (std::string entry; std::getline(environment, entry, '\0');) {
    if (entry.starts_with(prefix) && entry.size() > prefix.size()) {
      return entry.substr(prefix.size());
    }
  }
  return std::nullopt;
}

GVariant* platformData() {
  GVariantBuilder data;
  gio().g_variant_builder_init(&data, variantType("a{sv}"));
  for (const auto& [variable, key] : {std::pair{"XDG_ACTIVATION_TOKEN", "activation-token"},
                                      std::pair{"DESKTOP_STARTUP_ID", "desktop-startup-id"}}) {
    if (const auto value = startedWith(variable)) {
      gio().g_variant_builder_add(&data, "{sv}", key, gio().g_variant_new_string(value->c_str()));
    }
  }
  return gio().g_variant_builder_end(&data);
}

int errnoFor(const GError* error) {
  if (error->domain == gio().g_dbus_error_quark()) {
    switch (error->code) {
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
      case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
      case G_DBUS_ERROR_SPAWN_FAILED:
      case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
      case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
      case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
      case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
      case G_DBUS_ERROR_SPAWN_FILE_INVALID:
        return ENOENT;
      case G_DBUS_ERROR_ACCESS_DENIED:
      case G_DBUS_ERROR_AUTH_FAILED:
        return EACCES;
      case G_DBUS_ERROR_TIMEOUT:
      case G_DBUS_ERROR_TIMED_OUT:
        return ETIMEDOUT;
      default:
        break;
    }
  }
  if (error->domain == gio().g_io_error_quark() && error->code == G_IO_ERROR_TIMED_OUT) {
    return ETIMEDOUT;
  }
  if (error->domain == gio().g_io_error_quark() && error->code != G_IO_ERROR_DBUS_ERROR) {
    return ENOTCONN;
  }
  return EIO;
}

// Asks `name` on `connection` to open `files`; throws as open() does.
void callOpen(GDBusConnection* connection, const std::string& name, const std::vector<Url>& files,
              std::chrono::milliseconds limit) {
  GVariantBuilder uris;
  gio().g_variant_builder_init(&uris, variantType("as"));
  for (const auto& file : files) {
    gio().g_variant_builder_add(&uris, "s", file.absoluteString().c_str());
  }
  // An application takes the files and answers at once; one that does not answer in time is
  // treated as one that failed, lest it keep the share for ever.
  GError* rawError = nullptr;
  const Variant reply(gio().g_dbus_connection_call_sync(
      connection, name.c_str(), objectPath(name).c_str(), "org.freedesktop.Application", "Open",
      gio().g_variant_new("(as@a{sv})", &uris, platformData()), nullptr, G_DBUS_CALL_FLAGS_NONE,
      milliseconds(limit), nullptr, &rawError));
  const Error error(rawError);
  if (!reply) posix::throwSystemError(errnoFor(error.get()), name + ": " + error->message);
}

}  // namespace

std::optional<Url> busLocation(std::string_view name) {
  return Url::parse(std::string(busScheme).append(name));
}

std::optional<std::string> busName(const Url& application) {
  std::optional<std::string> name;
  if (const std::string text = application.absoluteString(); text.starts_with(busScheme)) {
    name = text.substr(busScheme.size());
  } else if (application.pathExtension() == "desktop") {
    name = application.deletingPathExtension().lastPathComponent();
  } else {
    name = Bundle(application).bundleIdentifier();
  }
  if (!name || !isWellKnownName(*name)) return std::nullopt;
  return name;
}

bool openThrough(const std::string& name, bool activatable, const std::vector<Url>& files,
                 std::chrono::milliseconds timeLimit) {
  const auto bus = findSessionBus();
  if (!bus || gioLibrary() == nullptr || !isWellKnownName(name)) return false;
  // One connection both asks whether the name runs and makes the call.
  const auto connection = connect(*bus, nullptr);
  if (!connection) return false;
  if (!hasOwner(connection.get(), name, timeLimit) &&
      !(activatable && startService(connection.get(), name, timeLimit))) {
    return false;
  }
  callOpen(connection.get(), name, files, timeLimit);
  return true;
}

bool openThrough(const Url& application, const std::vector<Url>& files) {
  if (!findSessionBus()) return false;
  const auto name = busName(application);
  if (!name) return false;
  bool activatable = false;
  if (application.pathExtension() == "desktop") {
    try {
      activatable = DesktopEntry::read(application).value("DBusActivatable") == "true";
    } catch (const std::system_error&) {
      // An entry that cannot be read says nothing; whether the name runs still counts.
    }
  }
  return openThrough(*name, activatable, files);
}

std::optional<pid_t> ownerProcess(const std::string& name, std::chrono::milliseconds timeLimit) {
  const auto bus = findSessionBus();
  if (!bus || !isWellKnownName(name) || gioLibrary() == nullptr) return std::nullopt;
  const auto connection = connect(*bus, nullptr);
  if (!connection) return std::nullopt;
  // Fails when nobody owns the name.
  const Variant reply = callBus(connection.get(), "GetConnectionUnixProcessID",
                                gio().g_variant_new("(s)", name.c_str()), "(u)", timeLimit);
  if (!reply) return std::nullopt;
  guint32 pid = 0;
  gio().g_variant_get(reply.get(), "(u)", &pid);
  if (pid == 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

void open(const std::string& name, const std::vector<Url>& files,
          std::chrono::milliseconds timeLimit) {
  const auto bus = findSessionBus();
  if (!bus) posix::throwSystemError(ENOTCONN, "no session bus");
  requiredGioLibrary();
  GError* rawError = nullptr;
  const auto connection = connect(*bus, &rawError);
  const Error error(rawError);
  if (!connection) posix::throwSystemError(ENOTCONN, error ? error->message : "no session bus");
  callOpen(connection.get(), name, files, timeLimit);
}

}  // namespace platform::application_bus
