#pragma once

namespace platform::accessibilityBus {

// GTK connects to the accessibility bus (at-spi2: it asks org.a11y.Bus on the session bus for the
// bus's address, then connects to it) only when a window first shows. A process that refuses new
// connections after its start-up would leave screen readers an empty window, so these make that
// connection early, while connections are still allowed.

// Where no session bus can be found (DBUS_SESSION_BUS_ADDRESS empty or unset and no
// $XDG_RUNTIME_DIR/bus), no screen reader can reach the process: turns GTK's accessibility off
// (GTK_A11Y=none) unless the user chose otherwise, so that GTK prints no warning of a missing bus.
// Before GTK is initialised, on the main thread before other threads start.
void quietWithoutSessionBus();

// Once GTK is initialised with a display: shows and at once hides a window that is never drawn,
// which has GTK look for the accessibility bus and connect to it; every later window of the
// display speaks through that connection. Does nothing when GTK's accessibility is off. Main
// thread only.
void connectNow();

}  // namespace platform::accessibilityBus
