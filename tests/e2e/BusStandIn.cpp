// A stand-in for KelpWord on the session bus: it owns com.brenvik.kelpword and takes
// org.freedesktop.Application.Open calls, recording each, so that a test sees what the share
// asked over the bus.
//
//   kelpword-bus-stand-in RECORD [--fail | --silent]
//
// Each Open call appends to RECORD, in one write: "open", a "uri: …" line per URI in order, a
// "KEY: VALUE" line per string of the platform data, then a blank line. With --fail it answers
// every call with the error com.brenvik.kelpword.Error.Failed, after recording it; with --silent
// it records every call and never answers one, as a hung application would. Once it owns
// the name it creates RECORD.ready. It ends when it loses the name or its bus goes away.
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gio/gio.h>
#include <unistd.h>

namespace {

constexpr const char* kInterface = R"(<node>
  <interface name="org.freedesktop.Application">
    <method name="Activate"><arg type="a{sv}" name="platform_data" direction="in"/></method>
    <method name="Open">
      <arg type="as" name="uris" direction="in"/>
      <arg type="a{sv}" name="platform_data" direction="in"/>
    </method>
    <method name="ActivateAction">
      <arg type="s" name="action_name" direction="in"/>
      <arg type="av" name="parameter" direction="in"/>
      <arg type="a{sv}" name="platform_data" direction="in"/>
    </method>
  </interface>
</node>)";

enum class Answer { success, failure, none };

struct StandIn {
  std::string record;
  Answer answer = Answer::success;
  GMainLoop* loop = nullptr;
  std::vector<GDBusMethodInvocation*> unanswered;  // kept, so that no reply ever goes
};

Answer answerFrom(int argc, char** argv) {
  if (argc < 3) return Answer::success;
  const std::string option = argv[2];
  if (option == "--fail") return Answer::failure;
  if (option == "--silent") return Answer::none;
  return Answer::success;
}

void append(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::perror("kelpword-bus-stand-in");
  }
  if (fd >= 0) ::close(fd);
}

void call(GDBusConnection* /*connection*/, const gchar* /*sender*/, const gchar* /*path*/,
          const gchar* /*interface*/, const gchar* method, GVariant* parameters,
          GDBusMethodInvocation* invocation, gpointer data) {
  auto* standIn = static_cast<StandIn*>(data);
  std::string text = std::string(method) == "Open" ? "open\n" : std::string(method) + "\n";
  GVariant* platformData = nullptr;
  if (std::string(method) == "Open") {
    GVariantIter* uris = nullptr;
    g_variant_get(parameters, "(as@a{sv})", &uris, &platformData);
    const gchar* uri = nullptr;
    while (g_variant_iter_loop(uris, "&s", &uri)) text += std::string("uri: ") + uri + "\n";
    g_variant_iter_free(uris);
  }
  if (platformData != nullptr) {
    GVariantIter entries;
    g_variant_iter_init(&entries, platformData);
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    while (g_variant_iter_loop(&entries, "{&sv}", &key, &value)) {
      if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
        text += std::string(key) + ": " + g_variant_get_string(value, nullptr) + "\n";
      }
    }
    g_variant_unref(platformData);
  }
  append(standIn->record, text + "\n");
  switch (standIn->answer) {
    case Answer::failure:
      g_dbus_method_invocation_return_dbus_error(invocation, "com.brenvik.kelpword.Error.Failed",
                                                 "the stand-in was told to fail");
      break;
    case Answer::none:
      standIn->unanswered.push_back(invocation);
      break;
    case Answer::success:
      g_dbus_method_invocation_return_value(invocation, nullptr);
      break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("Usage: kelpword-bus-stand-in RECORD [--fail | --silent]\n", stderr);
    return 2;
  }
  StandIn standIn{argv[1], answerFrom(argc, argv), g_main_loop_new(nullptr, FALSE), {}};
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) {
    std::fprintf(stderr, "kelpword-bus-stand-in: %s\n", error->message);
    return 1;
  }
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kInterface, nullptr);
  const GDBusInterfaceVTable vtable{call, nullptr, nullptr, {}};
  g_dbus_connection_register_object(bus, "/com/brenvik/kelpword", node->interfaces[0], &vtable,
                                    &standIn, nullptr, nullptr);
  g_bus_own_name_on_connection(
      bus, "com.brenvik.kelpword", G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
      [](GDBusConnection*, const gchar*, gpointer data) {
        append(static_cast<StandIn*>(data)->record + ".ready", "");
      },
      [](GDBusConnection*, const gchar*, gpointer data) {
        g_main_loop_quit(static_cast<StandIn*>(data)->loop);
      },
      &standIn, nullptr);
  g_main_loop_run(standIn.loop);
  return 0;
}
