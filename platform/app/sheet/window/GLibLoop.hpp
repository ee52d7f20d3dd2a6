#pragma once

#include <cstddef>

#include <poll.h>

// GLib's default main context, the one GTK uses, run a turn at a time by a loop that is not
// GLib's (ToolkitLoopPump, through the window sheet plugin's loop functions). Main thread only.
namespace platform::glibLoop {

// Makes the calling thread the context's owner; false when another thread owns it.
bool acquire();
void release();

// One whole turn without waiting: prepare, query, a look at the descriptors that does not wait,
// check, dispatch. A source may hold something open from its prepare to its check (the Wayland
// back end's prepare reserves the connection's next read, and only its check reads or cancels
// it), so nothing else may run between them: the waiting is done between turns. Names the
// descriptors to wait for (kept until the next turn) and the time-out in milliseconds (-1: none);
// returns whether the turn dispatched, after which another should follow at once.
bool turn(const pollfd** fds, std::size_t* count, int* timeoutMilliseconds);

}  // namespace platform::glibLoop
