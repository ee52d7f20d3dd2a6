#include "platform/app/sheet/TextSheetRenderer.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <asio/post.hpp>

#include "platform/MainThread.hpp"
#include "platform/app/sheet/TextSheet.hpp"
#include "platform/app/views/TextField.hpp"

namespace platform {
namespace {

constexpr const char* showCursor = "\x1b[?25h";
constexpr const char* hideCursor = "\x1b[?25l";

// The terminal's settings before the sheet took its keys, for the signal handler to put back.
// One sheet per process: the runtime shows one.
struct SavedTerminal {
  int fd = -1;
  int output = -1;
  termios settings{};
  struct sigaction previous[4]{};
};
SavedTerminal saved;
constexpr int endingSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void restoreTerminal() {
  if (saved.fd >= 0) ::tcsetattr(saved.fd, TCSANOW, &saved.settings);
  if (saved.output >= 0) {
    [[maybe_unused]] const auto written = ::write(saved.output, showCursor, 6);
  }
}

extern "C" void restoreAndRaise(int signal) {
  restoreTerminal();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// The language messages are shown in, looked up as message catalogues look it up: the first
// of LANGUAGE's list, else the locale's.
std::string messagesLanguage() {
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read on the main thread, nothing sets it
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

}  // namespace

TextSheetRenderer::TextSheetRenderer(int output, int keys) : output_(output), keys_(keys) {}

TextSheetRenderer::~TextSheetRenderer() { *alive_ = false; }

namespace {

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void TextSheetRenderer::write(const std::string& text) const {
  // Output that cannot be written (full, closed, gone): the message still reaches the user on
  // standard error. Nowhere at all to draw: the share goes on regardless.
  if (!writeAll(output_, text) && output_ != STDERR_FILENO) writeAll(STDERR_FILENO, text);
}

void TextSheetRenderer::show(std::shared_ptr<View> root, std::function<void()> /*dismissed*/) {
  root_ = std::move(root);
  begin();
  root_->setChangeHandler([this, alive = alive_] {
    if (scheduled_) return;
    scheduled_ = true;
    asio::post(mainContext(), [this, alive] {
      if (*alive && scheduled_) drawNow();
    });
  });
  input_.emplace(keys_, root_);
  drawNow();
}

void TextSheetRenderer::drawNow() {
  scheduled_ = false;
  if (!root_) return;
  render(*root_);
  input_->sheetChanged();
}

void TextSheetRenderer::close() {
  if (!root_) return;
  if (scheduled_) {
    scheduled_ = false;
    render(*root_);
  }
  root_->setChangeHandler(nullptr);
  input_.reset();
  end();
  root_.reset();
}

void LineRenderer::render(const View& root) {
  std::vector<const View*> pending{&root};
  while (!pending.empty()) {
    const View* view = pending.front();
    pending.erase(pending.begin());
    for (const auto& subview : view->subviews()) pending.push_back(subview.get());
    const auto* label = dynamic_cast<const TextField*>(view);
    if (!label) continue;
    const auto found = printed_.find(label);
    if (found != printed_.end() && found->second == label->stringValue()) continue;
    printed_[label] = label->stringValue();
    const auto texts = textSheet::labelTexts(*label);
    write(texts.front() + "\n");
  }
}

void TerminalRenderer::begin() {
  direction_ = textSheet::directionOf(messagesLanguage());
  saved.output = output();
  if (::isatty(keys()) == 1 && ::tcgetattr(keys(), &saved.settings) == 0) {
    saved.fd = keys();
    termios raw = saved.settings;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(keys(), TCSANOW, &raw);
  }
  struct sigaction action {};
  action.sa_handler = restoreAndRaise;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 4; ++i) {
    // A signal the process handles itself ends nothing: the sheet closes the usual way.
    ::sigaction(endingSignals[i], nullptr, &saved.previous[i]);
    if (saved.previous[i].sa_handler == SIG_DFL) ::sigaction(endingSignals[i], &action, nullptr);
  }
  write(hideCursor);
}

void TerminalRenderer::render(const View& root) {
  winsize size{};
  int columns = 80;
  if (::ioctl(output(), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
  std::string text;
  if (drawnRows_ > 0) text += "\x1b[" + std::to_string(drawnRows_) + "F\x1b[J";
  const auto rows = textSheet::draw(root, columns, direction_);
  for (const auto& row : rows) text += row + "\n";
  drawnRows_ = static_cast<int>(rows.size());
  write(text);
}

void TerminalRenderer::end() {
  restoreTerminal();
  for (int i = 0; i < 4; ++i) ::sigaction(endingSignals[i], &saved.previous[i], nullptr);
  saved = SavedTerminal{};
}

}  // namespace platform
