#pragma once

#include <memory>

#include <asio/io_context.hpp>

namespace platform {

// Drives GLib's default main context, the one GTK uses, from an Asio io_context, so that the main
// thread runs one loop. Each turn of GLib's loop (prepare, query, check, dispatch) runs whole
// inside one Asio handler, looking at its descriptors without waiting; between turns, Asio waits
// for the descriptors and the timeout that the last turn named, next to its own work. Nothing
// else runs on the main thread between a prepare and its check, which the Wayland back end needs:
// its prepare reserves the connection's next read, and a call to the compositor made before the
// check would wait for that read forever.
//
// Made and used on the thread that runs `context` (the main thread), which owns GLib's default
// context from construction to destruction. GLib wakes itself only for sources added from other
// threads: after anything its owner does that adds or changes a source (a widget changed, a
// window shown), call wake().
class GLibPump {
 public:
  // Throws std::runtime_error when another thread owns GLib's default context.
  explicit GLibPump(asio::io_context& context);
  ~GLibPump();
  GLibPump(const GLibPump&) = delete;
  GLibPump& operator=(const GLibPump&) = delete;

  // Runs a turn of GLib's loop soon, instead of waiting on for what the last turn named. Cheap;
  // several calls before that turn count as one.
  void wake();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
