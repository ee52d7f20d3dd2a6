// The window sheet plugin's one entry point and its table (platform/app/sheet/WindowSheetPlugin.h),
// over GtkSheetWindow and GLib's loop. The plugin is never unloaded: GTK cannot be.
#include "platform/app/sheet/WindowSheetPlugin.h"

#include <type_traits>

#include "platform/app/sheet/window/AccessibilityBus.hpp"
#include "platform/app/sheet/window/GLibLoop.hpp"
#include "platform/app/sheet/window/GtkSheetWindow.hpp"

// The program's handle is the window itself.
struct kelpword_window : platform::GtkSheetWindow {
  using GtkSheetWindow::GtkSheetWindow;
};

namespace {

int displayAvailable() {
  static const bool available = [] {
    platform::accessibilityBus::quietWithoutSessionBus();
    if (!platform::GtkSheetWindow::displayAvailable()) return false;
    // The loading program may refuse new connections once this returns.
    platform::accessibilityBus::connectNow();
    return true;
  }();
  return available ? 1 : 0;
}

int loopAcquire() { return platform::glibLoop::acquire() ? 1 : 0; }

void loopRelease() { platform::glibLoop::release(); }

int loopTurn(const pollfd** fds, size_t* count, int* timeoutMilliseconds) {
  return platform::glibLoop::turn(fds, count, timeoutMilliseconds) ? 1 : 0;
}

kelpword_window* openWindow(const char* title, const kelpword_window_events* events) {
  return new kelpword_window(title, *events);
}

void setTitle(kelpword_window* window, const char* title) { window->setTitle(title); }

void setItems(kelpword_window* window, const kelpword_window_item* items, size_t count) {
  window->setItems(items, count);
}

void measure(kelpword_window* window, uint64_t item, double maxWidth, double* width,
             double* height) {
  window->measure(item, maxWidth, width, height);
}

int rightToLeft(kelpword_window* window) { return window->rightToLeft() ? 1 : 0; }

void place(kelpword_window* window, const kelpword_window_frame* frames, size_t count, int width,
           int height, uint64_t defaultButton) {
  window->place(frames, count, width, height, defaultButton);
}

void present(kelpword_window* window) { window->present(); }

void closeWindow(kelpword_window* window) { delete window; }

constexpr struct kelpword_window_sheet_plugin table {
  KELPWORD_WINDOW_SHEET_ABI_VERSION, displayAvailable, loopAcquire, loopRelease, loopTurn,
      openWindow, setTitle, setItems, measure, rightToLeft, place, present, closeWindow,
};

}  // namespace

const struct kelpword_window_sheet_plugin* kelpword_window_sheet(uint32_t abiVersion) {
  return abiVersion == KELPWORD_WINDOW_SHEET_ABI_VERSION ? &table : nullptr;
}

// The loader calls it through the type the interface gives.
static_assert(std::is_same_v<decltype(kelpword_window_sheet), kelpword_window_sheet_entry>);
