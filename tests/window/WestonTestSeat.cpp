// A keyboard for a headless Weston, which has no input of its own: a Weston module (loaded with
// --modules) that adds a seat with a keyboard and takes commands, one a line, from the named pipe
// that $KELPWORD_TEST_SEAT names:
//   key CODE   presses and releases a key, by its Linux input code (28 is Return)
//   close      asks the window that has the keyboard to close, as a window manager's close does
// The shell gives the keyboard to each window it maps, so the window last shown receives both.
// Once the seat is there, the module makes the file named like the pipe with ".ready" added.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <unistd.h>

extern "C" {
#include <libweston-desktop/libweston-desktop.h>
#include <libweston/libweston.h>

// What a back end uses to make a seat and feed it keys. libweston exports these without
// installing the header that declares them.
void weston_seat_init(struct weston_seat* seat, struct weston_compositor* compositor,
                      const char* name);
int weston_seat_init_keyboard(struct weston_seat* seat, struct xkb_keymap* keymap);
void weston_seat_release(struct weston_seat* seat);
void notify_key(struct weston_seat* seat, const struct timespec* time, uint32_t key,
                enum wl_keyboard_key_state state, enum weston_key_state_update update);
}

namespace {

struct TestSeat {
  weston_seat seat{};
  int commands = -1;
  wl_event_source* reading = nullptr;
  wl_listener compositorGone{};
  std::string pending;
};

void run(TestSeat& self, const std::string& command) {
  timespec now{};
  weston_compositor_get_time(&now);
  if (command.rfind("key ", 0) == 0) {
    const auto key = static_cast<uint32_t>(std::strtoul(command.c_str() + 4, nullptr, 10));
    notify_key(&self.seat, &now, key, WL_KEYBOARD_KEY_STATE_PRESSED, STATE_UPDATE_AUTOMATIC);
    notify_key(&self.seat, &now, key, WL_KEYBOARD_KEY_STATE_RELEASED, STATE_UPDATE_AUTOMATIC);
  } else if (command == "close") {
    weston_keyboard* keyboard = weston_seat_get_keyboard(&self.seat);
    if (keyboard == nullptr || keyboard->focus == nullptr ||
        !weston_surface_is_desktop_surface(keyboard->focus)) {
      return;
    }
    weston_desktop_surface_close(weston_surface_get_desktop_surface(keyboard->focus));
  }
}

int onCommands(int fd, uint32_t /*mask*/, void* data) {
  auto& self = *static_cast<TestSeat*>(data);
  char buffer[256];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n <= 0) return 0;
  self.pending.append(buffer, static_cast<std::size_t>(n));
  for (auto end = self.pending.find('\n'); end != std::string::npos;
       end = self.pending.find('\n')) {
    const std::string command = self.pending.substr(0, end);
    self.pending.erase(0, end + 1);
    run(self, command);
  }
  return 0;
}

void onCompositorGone(wl_listener* listener, void* /*data*/) {
  TestSeat* self = wl_container_of(listener, self, compositorGone);
  wl_list_remove(&self->compositorGone.link);
  wl_event_source_remove(self->reading);
  ::close(self->commands);
  weston_seat_release(&self->seat);
  delete self;
}

}  // namespace

extern "C" WL_EXPORT int wet_module_init(weston_compositor* compositor, int* /*argc*/,
                                         char* /*argv*/[]) {
  const char* path = std::getenv("KELPWORD_TEST_SEAT");  // NOLINT(concurrency-mt-unsafe)
  if (path == nullptr) return -1;
  // Read and write, so that the pipe never reads as ended between two writers.
  const int commands = ::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (commands < 0) return -1;
  auto* self = new TestSeat;
  self->commands = commands;
  weston_seat_init(&self->seat, compositor, "test-seat");
  if (weston_seat_init_keyboard(&self->seat, nullptr) < 0) {
    weston_seat_release(&self->seat);
    ::close(commands);
    delete self;
    return -1;
  }
  self->reading = wl_event_loop_add_fd(wl_display_get_event_loop(compositor->wl_display), commands,
                                       WL_EVENT_READABLE, onCommands, self);
  self->compositorGone.notify = onCompositorGone;
  wl_signal_add(&compositor->destroy_signal, &self->compositorGone);
  const int ready =
      ::open((std::string(path) + ".ready").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (ready >= 0) ::close(ready);
  return 0;
}
