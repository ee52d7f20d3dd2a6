#include "reference-app/OpenCalls.hpp"

#include <array>
#include <stdexcept>

#include <asio/post.hpp>

#include "platform/MainThread.hpp"

namespace reference_app {

namespace {

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};

// A call taken off the connection, to be answered once.
struct Call {
  std::unique_ptr<GDBusConnection, Unref> bus;
  std::unique_ptr<GDBusMessage, Unref> message;

  void answer(GDBusMessage* reply) const {
    if ((g_dbus_message_get_flags(message.get()) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) == 0) {
      g_dbus_connection_send_message(bus.get(), reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                     nullptr);
    }
    g_object_unref(reply);
  }
  void accept() const { answer(g_dbus_message_new_method_reply(message.get())); }
  void refuse() const {
    answer(g_dbus_message_new_method_error(message.get(), "org.freedesktop.DBus.Error.Failed",
                                           "kelpword-reference is closing"));
  }
};

// The two Open methods: the desktop's, and the one other GApplications call on their first
// instance. Each has its URIs first; `platformData` is the index of its platform data.
struct OpenMethod {
  const char* interface;
  const char* signature;
  gsize platformData;
};
constexpr std::array<OpenMethod, 2> kOpenMethods{{
    {"org.freedesktop.Application", "(asa{sv})", 1},
    {"org.gtk.Application", "(assa{sv})", 2},
}};

// The Open method that `message` calls on `objectPath`, if any, with arguments of its signature.
const OpenMethod* openMethodOf(GDBusMessage* message, const std::string& objectPath) {
  if (g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) return nullptr;
  const char* path = g_dbus_message_get_path(message);
  const char* interface = g_dbus_message_get_interface(message);
  const char* member = g_dbus_message_get_member(message);
  GVariant* body = g_dbus_message_get_body(message);
  if (path == nullptr || objectPath != path || interface == nullptr || member == nullptr ||
      !g_str_equal(member, "Open") || body == nullptr) {
    return nullptr;
  }
  for (const auto& method : kOpenMethods) {
    if (g_str_equal(interface, method.interface) &&
        g_variant_is_of_type(body, G_VARIANT_TYPE(method.signature))) {
      return &method;
    }
  }
  return nullptr;
}

std::optional<std::string> startupIdIn(GVariant* platformData) {
  for (const char* key : {"activation-token", "desktop-startup-id"}) {
    const char* token = nullptr;
    if (g_variant_lookup(platformData, key, "&s", &token) && token != nullptr && *token != '\0') {
      return std::string(token);
    }
  }
  return std::nullopt;
}

OpenRequest requestIn(GDBusMessage* message, const OpenMethod& method) {
  GVariant* body = g_dbus_message_get_body(message);
  GVariant* uris = g_variant_get_child_value(body, 0);
  GVariant* platformData = g_variant_get_child_value(body, method.platformData);
  OpenRequest request;
  request.uris.reserve(g_variant_n_children(uris));
  GVariantIter iter;
  g_variant_iter_init(&iter, uris);
  const char* uri = nullptr;
  while (g_variant_iter_next(&iter, "&s", &uri)) request.uris.emplace_back(uri);
  request.startupId = startupIdIn(platformData);
  g_variant_unref(platformData);
  g_variant_unref(uris);
  return request;
}

}  // namespace

struct OpenCalls::State {
  const std::string objectPath;  // read by the connection's thread; the rest by the main thread
  Handler handler;
  std::vector<std::pair<Call, OpenRequest>> waiting;
  bool closed = false;

  void deliver(Call call, OpenRequest request) {
    if (closed) {
      call.refuse();
    } else if (!handler) {
      waiting.emplace_back(std::move(call), std::move(request));
    } else {
      // Answered first: the caller need not wait while the files are shown.
      call.accept();
      handler(std::move(request));
    }
  }
};

namespace {

// Runs on the connection's own thread, for every message; owns `message`.
GDBusMessage* takeOpen(GDBusConnection* bus, GDBusMessage* message, gboolean incoming,
                       gpointer data) {
  const auto& state = *static_cast<std::shared_ptr<OpenCalls::State>*>(data);
  const OpenMethod* method = incoming != FALSE ? openMethodOf(message, state->objectPath) : nullptr;
  if (method == nullptr) return message;
  auto request = requestIn(message, *method);
  Call call{std::unique_ptr<GDBusConnection, Unref>(G_DBUS_CONNECTION(g_object_ref(bus))),
            std::unique_ptr<GDBusMessage, Unref>(message)};
  asio::post(platform::mainContext(),
             [state, call = std::move(call), request = std::move(request)]() mutable {
               state->deliver(std::move(call), std::move(request));
             });
  return nullptr;
}

}  // namespace

OpenCalls::OpenCalls(GDBusConnection* bus, std::string objectPath)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))),
      state_(std::make_shared<State>(State{std::move(objectPath), {}, {}, false})) {
  filter_ = g_dbus_connection_add_filter(
      bus_, takeOpen, new std::shared_ptr<State>(state_),
      [](gpointer data) { delete static_cast<std::shared_ptr<State>*>(data); });
}

OpenCalls::~OpenCalls() {
  g_dbus_connection_remove_filter(bus_, filter_);
  g_object_unref(bus_);
  state_->closed = true;
  state_->handler = nullptr;
  for (const auto& [call, request] : state_->waiting) call.refuse();
  state_->waiting.clear();
}

void OpenCalls::handleWith(Handler handler) {
  state_->handler = std::move(handler);
  auto waiting = std::exchange(state_->waiting, {});
  for (auto& [call, request] : waiting) state_->deliver(std::move(call), std::move(request));
}

void callOpen(GDBusConnection* bus, const std::string& name, const std::string& objectPath,
              const std::vector<std::string>& uris, const PlatformData& platformData) {
  GVariantBuilder uriList;
  g_variant_builder_init(&uriList, G_VARIANT_TYPE("as"));
  for (const auto& uri : uris) g_variant_builder_add(&uriList, "s", uri.c_str());
  GVariantBuilder data;
  g_variant_builder_init(&data, G_VARIANT_TYPE("a{sv}"));
  for (const auto& [key, value] : platformData) {
    g_variant_builder_add(&data, "{sv}", key.c_str(), g_variant_new_string(value.c_str()));
  }
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, name.c_str(), objectPath.c_str(), "org.freedesktop.Application", "Open",
      g_variant_new("(asa{sv})", &uriList, &data), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      &error);
  if (reply == nullptr) {
    std::runtime_error failure(error->message);
    g_error_free(error);
    throw failure;
  }
  g_variant_unref(reply);
}

}  // namespace reference_app
