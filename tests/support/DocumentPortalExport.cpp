// Exports a file through the document portal (org.freedesktop.portal.Documents.Add) on the
// session bus that DBUS_SESSION_BUS_ADDRESS names, as a Flatpak application's file reaches
// other applications, and prints the document's id: the file is then
// $XDG_RUNTIME_DIR/doc/<id>/<its name>. The portal takes the file by descriptor.
//
//   document-portal-export FILE
#include <gio/gio.h>
#include <gio/gunixfdlist.h>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fputs("usage: document-portal-export FILE\n", stderr);
    return 2;
  }
  // O_PATH, as the portal's clients open what they export.
  const int fd = ::open(argv[1], O_PATH | O_CLOEXEC);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  GUnixFDList* fds = bus != nullptr ? g_unix_fd_list_new_from_array(&fd, 1) : nullptr;
  GVariant* reply =
      bus == nullptr ? nullptr
                     : g_dbus_connection_call_with_unix_fd_list_sync(
                           bus, "org.freedesktop.portal.Documents",
                           "/org/freedesktop/portal/documents", "org.freedesktop.portal.Documents",
                           "Add", g_variant_new("(hbb)", 0, TRUE, FALSE), G_VARIANT_TYPE("(s)"),
                           G_DBUS_CALL_FLAGS_NONE, 25'000, fds, nullptr, nullptr, &error);
  if (reply == nullptr) {
    std::fprintf(stderr, "document-portal-export: %s\n", error->message);
    return 1;
  }
  const gchar* id = nullptr;
  g_variant_get(reply, "(&s)", &id);
  std::printf("%s\n", id);
  return 0;
}
