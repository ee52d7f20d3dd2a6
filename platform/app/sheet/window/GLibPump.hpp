#pragma once

#include <memory>

#include <asio/io_context.hpp>

namespace platform {

// Drives GLib's default main context, the one GTK uses, from an Asio io_context, so that the main
// thread runs one loop: in turn, GLib prepares its sources and names the descriptors and the
// timeout it would poll; Asio waits for those; then GLib checks and dispatches what is ready.
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

  // Makes GLib check, dispatch and prepare again on the next turn of the loop, instead of waiting
  // on for what it named before. Cheap; several calls before that turn count as one.
  void wake();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
