#include "tests/window/VirtualDisplay.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Subprocess.hpp"
#include "tests/support/WaitUntil.hpp"
#include "tests/window/WindowTestEnvironment.hpp"

namespace window_test {

struct VirtualDisplay::Connection {
  Display* display = nullptr;
};

namespace {

// A window that went away meanwhile is no failure: the X library's default handler would end
// the test.
int ignoreErrors(Display* /*display*/, XErrorEvent* /*error*/) { return 0; }

}  // namespace

std::unique_ptr<VirtualDisplay> VirtualDisplay::start(std::string& whyNot) {
  for (const char* program : {"Xvfb", "xdotool"}) {
    if (!onPath(program)) {
      whyNot = std::string(program) + " is not installed (packages xvfb, xdotool)";
      return nullptr;
    }
  }
  int ready[2];
  if (::pipe(ready) != 0) {
    whyNot = "no pipe for Xvfb";
    return nullptr;
  }
  const pid_t server = ::fork();
  if (server < 0) {
    whyNot = "cannot fork Xvfb";
    return nullptr;
  }
  if (server == 0) {
    ::close(ready[0]);
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, STDOUT_FILENO);
    ::dup2(quiet, STDERR_FILENO);
    const std::string fd = std::to_string(ready[1]);
    // -displayfd: the server picks a free display number and writes it there once it listens.
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ready[1]);
  std::unique_ptr<VirtualDisplay> display(new VirtualDisplay);
  display->server_ = server;
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{ready[0], POLLIN, 0};
    if (::poll(&readable, 1, 100) <= 0) continue;
    char buffer[16];
    const ssize_t n = ::read(ready[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(ready[0]);
  if (number.find('\n') == std::string::npos) {
    whyNot = "Xvfb did not start";
    return nullptr;
  }
  display->name_ = ":" + number.substr(0, number.find('\n'));
  display->connection_ = std::make_unique<Connection>();
  display->connection_->display = XOpenDisplay(display->name_.c_str());
  if (display->connection_->display == nullptr) {
    whyNot = "cannot connect to Xvfb on " + display->name_;
    return nullptr;
  }
  XSetErrorHandler(ignoreErrors);
  return display;
}

VirtualDisplay::~VirtualDisplay() {
  if (connection_ && connection_->display != nullptr) XCloseDisplay(connection_->display);
  if (server_ > 0) testing_support::endChild(server_, SIGTERM);
}

std::vector<std::string> VirtualDisplay::xdotool(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  testing_support::ProcessOptions options;
  options.environment = {{"DISPLAY", name_}};
  options.timeout = std::chrono::seconds(20);
  const auto result = testing_support::run(argv, options);
  std::vector<std::string> lines;
  std::stringstream out(result.out);
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

std::vector<WindowId> VirtualDisplay::windowsTitled(const std::string& title,
                                                    std::optional<pid_t> pid) const {
  std::vector<std::string> arguments{"search", "--all", "--onlyvisible"};
  if (pid) {
    arguments.emplace_back("--pid");
    arguments.push_back(std::to_string(*pid));
  }
  arguments.emplace_back("--name");
  arguments.push_back("^" + title + "$");
  std::vector<WindowId> windows;
  for (const auto& line : xdotool(arguments)) windows.push_back(std::stoul(line));
  return windows;
}

std::optional<WindowId> VirtualDisplay::waitForWindow(const std::string& title,
                                                      std::optional<pid_t> pid,
                                                      std::chrono::milliseconds timeout) const {
  std::optional<WindowId> shown;
  testing_support::waitUntil(
      [&] {
        const auto windows = windowsTitled(title, pid);
        if (!windows.empty()) shown = windows.front();
        return shown.has_value();
      },
      timeout, std::chrono::milliseconds(50));
  return shown;
}

std::optional<WindowGeometry> VirtualDisplay::geometry(WindowId window) const {
  Display* x = connection_->display;
  XWindowAttributes attributes{};
  if (XGetWindowAttributes(x, window, &attributes) == 0 || attributes.map_state != IsViewable) {
    return std::nullopt;
  }
  int rootX = 0;
  int rootY = 0;
  ::Window child = 0;
  XTranslateCoordinates(x, window, attributes.root, 0, 0, &rootX, &rootY, &child);
  return WindowGeometry{rootX, rootY, attributes.width, attributes.height};
}

std::optional<Image> VirtualDisplay::capture(WindowId window) const {
  const auto where = geometry(window);
  if (!where) return std::nullopt;
  Display* x = connection_->display;
  // From the screen, not the window: what is on the screen is what the user sees.
  XImage* shot =
      XGetImage(x, DefaultRootWindow(x), where->x, where->y, static_cast<unsigned>(where->width),
                static_cast<unsigned>(where->height), AllPlanes, ZPixmap);
  if (shot == nullptr) return std::nullopt;
  Image image{where->width, where->height, {}};
  image.pixels.reserve(static_cast<std::size_t>(where->width) *
                       static_cast<std::size_t>(where->height));
  for (int row = 0; row < where->height; ++row) {
    for (int column = 0; column < where->width; ++column) {
      const unsigned long pixel = XGetPixel(shot, column, row);
      image.pixels.push_back({static_cast<std::uint8_t>((pixel & shot->red_mask) >> 16),
                              static_cast<std::uint8_t>((pixel & shot->green_mask) >> 8),
                              static_cast<std::uint8_t>(pixel & shot->blue_mask)});
    }
  }
  XDestroyImage(shot);
  return image;
}

void VirtualDisplay::pressKey(WindowId window, const std::string& key) const {
  // Without a window manager nothing gives a window the keyboard: xdotool does, then types.
  xdotool({"windowfocus", "--sync", std::to_string(window), "key", "--clearmodifiers", key});
}

void VirtualDisplay::click(int x, int y) const {
  // The server takes the move and the click in order. (--sync would wait for a move that is not
  // needed when the pointer is there already.)
  xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "1"});
}

void VirtualDisplay::movePointerAway() const {
  Display* x = connection_->display;
  XWarpPointer(x, None, DefaultRootWindow(x), 0, 0, 0, 0, 1000, 750);
  XSync(x, False);
}

void VirtualDisplay::closeFromWindowManager(WindowId window) const {
  Display* x = connection_->display;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(x, window, False, NoEventMask, &event);
  XFlush(x);
}

}  // namespace window_test
