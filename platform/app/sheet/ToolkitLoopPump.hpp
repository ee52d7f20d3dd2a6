#pragma once

#include <memory>

#include <asio/io_context.hpp>

#include "platform/app/sheet/WindowSheetPlugin.h"

namespace platform {

// Drives the window sheet plugin's toolkit loop (WindowSheetPlugin.h) from an Asio io_context, so
// that the main thread runs one loop. Each turn of the toolkit's loop runs whole inside one Asio
// handler, waiting for nothing; between turns, Asio waits for the descriptors and the time-out that
// the last turn named, next to its own work. Nothing else runs on the main thread within a turn,
// which the Wayland back end needs: its prepare reserves the connection's next read, and a call to
// the compositor made before the check would wait for that read forever.
//
// Made and used on the thread that runs `context` (the main thread), which owns the toolkit's
// loop from construction to destruction. The toolkit wakes itself only for work added from other
// threads: after anything its owner does that adds or changes work (a widget changed, a window
// shown), call wake().
class ToolkitLoopPump {
 public:
  // Throws std::runtime_error when another thread owns the toolkit's loop.
  ToolkitLoopPump(asio::io_context& context, const kelpword_window_sheet_plugin& plugin);
  ~ToolkitLoopPump();
  ToolkitLoopPump(const ToolkitLoopPump&) = delete;
  ToolkitLoopPump& operator=(const ToolkitLoopPump&) = delete;

  // Runs a turn soon, instead of waiting on for what the last turn named. Cheap; several calls
  // before that turn count as one.
  void wake();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
