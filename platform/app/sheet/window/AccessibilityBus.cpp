#include "platform/app/sheet/window/AccessibilityBus.hpp"

#include <cstdlib>
#include <string>

#include <gtk/gtk.h>
#include <sys/stat.h>

namespace platform::accessibilityBus {
namespace {

// NOLINTBEGIN(concurrency-mt-unsafe): the environment is read and set on the main thread before
// other threads start, as GTK itself reads it
bool sessionBusNamed() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return true;
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return false;
  struct stat info {};
  const std::string socket = std::string(runtime) + "/bus";
  return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

void quietWithoutSessionBus() {
  if (sessionBusNamed()) return;
  ::setenv("GTK_A11Y", "none", /*overwrite=*/0);
}
// NOLINTEND(concurrency-mt-unsafe)

void connectNow() {
  // GTK 4 realizes a window's accessible object, and with it the display's one connection to the
  // accessibility bus, when the window is mapped; a window without content, unmapped before the
  // loop runs, is never drawn.
  GtkWidget* window = gtk_window_new();
  gtk_widget_set_visible(window, TRUE);
  gtk_widget_set_visible(window, FALSE);
  gtk_window_destroy(GTK_WINDOW(window));
}

}  // namespace platform::accessibilityBus
