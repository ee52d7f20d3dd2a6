#include "tests/window/HeadlessCompositor.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Subprocess.hpp"
#include "tests/support/WaitUntil.hpp"
#include "tests/window/WindowTestEnvironment.hpp"

namespace window_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The numbers of "(x1, y1) -> (x2, y2)" after `label`, as a width and a height.
std::optional<std::pair<int, int>> extent(const std::string& line, const std::string& label) {
  const auto at = line.find(label);
  if (at == std::string::npos) return std::nullopt;
  int x1 = 0;
  int y1 = 0;
  int x2 = 0;
  int y2 = 0;
  if (std::sscanf(line.c_str() + at + label.size(), " (%d, %d) -> (%d, %d)", &x1, &y1, &x2, &y2) !=
      4) {
    return std::nullopt;
  }
  return std::pair{x2 - x1, y2 - y1};
}

// Weston's scene graph, as its debug protocol prints it: a "View" line per surface, naming its
// role, process and title, followed by indented lines about it.
//   View 0 (role xdg_toplevel, PID 42, surface ID 7, top-level window 'KelpWord' of …):
//       position: (41, 111) -> (409, 301)
//       [opaque: (55, 123) -> (395, 284)]
std::vector<Toplevel> parseSceneGraph(const std::string& text) {
  std::vector<Toplevel> found;
  bool inToplevel = false;
  std::stringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("View ") != std::string::npos && line.find("(role ") != std::string::npos) {
      inToplevel = line.find("(role xdg_toplevel, PID ") != std::string::npos;
      if (!inToplevel) continue;
      Toplevel toplevel;
      toplevel.pid = static_cast<pid_t>(
          std::stol(line.substr(line.find("PID ") + 4)));  // digits up to the comma
      const std::string titled = "top-level window '";
      if (const auto start = line.find(titled); start != std::string::npos) {
        const auto end = line.find("' of ", start + titled.size());
        toplevel.title = line.substr(start + titled.size(), end - start - titled.size());
      }
      found.push_back(toplevel);
      continue;
    }
    if (!inToplevel) continue;
    if (const auto opaque = extent(line, "[opaque:")) {
      found.back().opaqueWidth = opaque->first;
      found.back().opaqueHeight = opaque->second;
    }
  }
  return found;
}

}  // namespace

std::unique_ptr<HeadlessCompositor> HeadlessCompositor::start(std::string& whyNot) {
  for (const char* program : {"weston", "weston-debug"}) {
    if (!onPath(program)) {
      whyNot = std::string(program) + " is not installed (package weston)";
      return nullptr;
    }
  }
  std::unique_ptr<HeadlessCompositor> compositor(new HeadlessCompositor);
  const fs::path runtime = compositor->runtime_.path();
  ::chmod(runtime.c_str(), 0700);
  compositor->socket_ = "kelpword-test-" + std::to_string(::getpid());
  const std::string module = WESTON_TEST_SEAT_MODULE;
  const fs::path seat = runtime / "seat";
  const bool withSeat = !module.empty() && ::mkfifo(seat.c_str(), 0600) == 0;

  std::vector<std::string> argv{"weston", "--backend=headless-backend.so",
                                "--socket=" + compositor->socket_, "--idle-time=0",
                                // For the scene graph, which tells the test what is shown.
                                "--debug"};
  if (withSeat) argv.push_back("--modules=" + module);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  const fs::path log = runtime / "weston.log";
  const pid_t server = ::fork();
  if (server < 0) {
    whyNot = "cannot fork Weston";
    return nullptr;
  }
  if (server == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    // NOLINTBEGIN(concurrency-mt-unsafe): the child has one thread
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("KELPWORD_TEST_SEAT", seat.c_str(), 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("DISPLAY");
    // NOLINTEND(concurrency-mt-unsafe)
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  compositor->server_ = server;
  // The seat comes after the socket: windows shown before it would never have the keyboard.
  const fs::path ready =
      withSeat ? fs::path(seat.string() + ".ready") : runtime / compositor->socket_;
  bool ended = false;
  const bool listening = testing_support::waitUntil(
      [&] {
        if (fs::exists(runtime / compositor->socket_) && fs::exists(ready)) return true;
        ended = ::waitpid(server, nullptr, WNOHANG) != 0;
        return ended;
      },
      30s, 20ms);
  if (!listening || ended) {
    whyNot = "Weston did not start: " + testing_support::readFile(log);
    if (ended) compositor->server_ = -1;  // otherwise ended by the destructor
    return nullptr;
  }
  if (withSeat) compositor->seat_ = ::open(seat.c_str(), O_WRONLY | O_CLOEXEC);
  return compositor;
}

HeadlessCompositor::~HeadlessCompositor() {
  if (seat_ >= 0) ::close(seat_);
  if (server_ > 0) testing_support::endChild(server_, SIGTERM);
}

RunningShare::Environment HeadlessCompositor::environment() const {
  return {{"WAYLAND_DISPLAY", socket_}, {"XDG_RUNTIME_DIR", runtime_.path().string()}};
}

std::vector<Toplevel> HeadlessCompositor::toplevels() const {
  testing_support::ProcessOptions options;
  options.environment = environment();
  options.timeout = 20s;
  return parseSceneGraph(testing_support::run({"weston-debug", "scene-graph"}, options).out);
}

std::optional<Toplevel> HeadlessCompositor::waitForSettledWindow(
    const std::string& title, pid_t pid, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<Toplevel> last;
  int alike = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    std::optional<Toplevel> now;
    for (const auto& toplevel : toplevels()) {
      if (toplevel.pid == pid && toplevel.title == title) now = toplevel;
    }
    alike = now && last && *now == *last ? alike + 1 : 0;
    last = now;
    if (alike >= 2) return last;
    std::this_thread::sleep_for(100ms);
  }
  return std::nullopt;
}

bool HeadlessCompositor::showsWindowOf(pid_t pid) const {
  for (const auto& toplevel : toplevels()) {
    if (toplevel.pid == pid) return true;
  }
  return false;
}

void HeadlessCompositor::pressKey(unsigned code) const { command("key " + std::to_string(code)); }

void HeadlessCompositor::closeFocusedWindow() const { command("close"); }

void HeadlessCompositor::command(const std::string& line) const {
  const std::string text = line + "\n";
  if (seat_ < 0 || ::write(seat_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("the compositor's test seat did not take: " + line);
  }
}

}  // namespace window_test
