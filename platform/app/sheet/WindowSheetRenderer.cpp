#include "platform/app/sheet/WindowSheetRenderer.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include <asio/post.hpp>

#include "platform/MainThread.hpp"
#include "platform/app/sheet/SheetLayout.hpp"
#include "platform/app/sheet/ToolkitLoopPump.hpp"
#include "platform/app/views/Button.hpp"
#include "platform/app/views/ProgressIndicator.hpp"
#include "platform/app/views/TextField.hpp"

namespace platform {
namespace {

int points(double value) { return static_cast<int>(std::lround(value)); }

// A view's id in the plugin: its address, which stays while the view lives.
std::uint64_t idOf(const View* view) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): an address as a number
  return reinterpret_cast<std::uintptr_t>(view);
}

int alignmentOf(TextAlignment alignment) {
  switch (alignment) {
    case TextAlignment::center:
      return KELPWORD_WINDOW_ALIGN_CENTER;
    case TextAlignment::right:
      return KELPWORD_WINDOW_ALIGN_RIGHT;
    case TextAlignment::justified:
      return KELPWORD_WINDOW_ALIGN_JUSTIFIED;
    case TextAlignment::natural:
    case TextAlignment::left:
      break;
  }
  return KELPWORD_WINDOW_ALIGN_LEFT;
}

// What the window shows of `view`; none for a plain view, which draws nothing.
std::optional<kelpword_window_item> itemFor(const View& view) {
  kelpword_window_item item{idOf(&view), 0, nullptr, 0, KELPWORD_WINDOW_ALIGN_LEFT, 0};
  if (const auto* field = dynamic_cast<const TextField*>(&view)) {
    item.kind = KELPWORD_WINDOW_LABEL;
    item.text = field->stringValue().c_str();
    item.wraps = field->wraps() ? 1 : 0;
    item.alignment = alignmentOf(field->alignment());
  } else if (const auto* button = dynamic_cast<const Button*>(&view)) {
    item.kind = KELPWORD_WINDOW_BUTTON;
    item.text = button->title().c_str();
  } else if (const auto* progress = dynamic_cast<const ProgressIndicator*>(&view)) {
    item.kind = KELPWORD_WINDOW_PROGRESS_BAR;
    item.text = progress->detail().c_str();
    item.fraction = progress->fraction();
  } else {
    return std::nullopt;
  }
  return item;
}

}  // namespace

struct WindowSheetRenderer::Window : std::enable_shared_from_this<Window> {
  Window(const kelpword_window_sheet_plugin& sheetPlugin, ToolkitLoopPump& loopPump)
      : plugin(sheetPlugin), pump(loopPump) {}

  void open(const std::string& title);
  void scheduleSync();
  void sync();
  void destroy();

  // The plugin's events; `program` is the Window.
  static int onKey(void* program, const char* key);
  static void onClicked(void* program, std::uint64_t item);
  static void onCloseRequested(void* program);

  const kelpword_window_sheet_plugin& plugin;
  ToolkitLoopPump& pump;
  std::shared_ptr<View> root;
  std::function<void()> dismissed;
  kelpword_window* window = nullptr;
  bool scheduled = false;
};

void WindowSheetRenderer::Window::open(const std::string& title) {
  const kelpword_window_events events{this, onKey, onClicked, onCloseRequested};
  window = plugin.open_window(title.c_str(), &events);
}

int WindowSheetRenderer::Window::onKey(void* program, const char* key) {
  const auto root = static_cast<Window*>(program)->root;  // the action may end the sheet
  return root && root->performKeyEquivalent(key) ? 1 : 0;
}

void WindowSheetRenderer::Window::onClicked(void* program, std::uint64_t item) {
  const auto root = static_cast<Window*>(program)->root;
  if (!root) return;
  for (const auto& view : root->subviews()) {
    if (idOf(view.get()) != item) continue;
    if (const auto button = std::dynamic_pointer_cast<Button>(view)) button->performClick();
    return;
  }
}

void WindowSheetRenderer::Window::onCloseRequested(void* program) {
  // The runtime takes the window away through close(), once the request has ended.
  if (const auto dismissed = static_cast<Window*>(program)->dismissed) dismissed();
}

void WindowSheetRenderer::Window::scheduleSync() {
  if (scheduled) return;
  scheduled = true;
  asio::post(mainContext(), [weak = weak_from_this()] {
    if (const auto self = weak.lock(); self && self->scheduled) self->sync();
  });
}

void WindowSheetRenderer::Window::sync() {
  scheduled = false;
  if (!root || window == nullptr) return;
  std::vector<kelpword_window_item> items;
  for (const auto& view : root->subviews()) {
    if (const auto item = itemFor(*view)) items.push_back(*item);
  }
  plugin.set_items(window, items.data(), items.size());

  const auto direction = plugin.right_to_left(window) != 0 ? sheetLayout::Direction::rightToLeft
                                                           : sheetLayout::Direction::leftToRight;
  const auto measure = [this](const View& view, double maxWidth) {
    Size size;
    plugin.measure(window, idOf(&view), maxWidth, &size.width, &size.height);
    return size;
  };
  const auto geometry = sheetLayout::layOut(*root, measure, direction);
  std::vector<kelpword_window_frame> frames;
  for (const auto& placement : geometry.placements) {
    const auto& frame = placement.frame;
    frames.push_back({idOf(placement.view.get()), points(frame.x), points(frame.y),
                      points(frame.width), points(frame.height)});
  }
  const auto defaultButton = root->defaultButton();
  plugin.place(window, frames.data(), frames.size(), points(geometry.size.width),
               points(geometry.size.height), defaultButton ? idOf(defaultButton.get()) : 0);
  pump.wake();
}

void WindowSheetRenderer::Window::destroy() {
  if (window == nullptr) return;
  plugin.close_window(window);
  window = nullptr;
}

WindowSheetRenderer::WindowSheetRenderer(const kelpword_window_sheet_plugin& plugin)
    : plugin_(plugin), pump_(std::make_unique<ToolkitLoopPump>(mainContext(), plugin)) {}

WindowSheetRenderer::~WindowSheetRenderer() { close(); }

void WindowSheetRenderer::setTitle(const std::string& title) {
  title_ = title;
  if (window_ && window_->window != nullptr) plugin_.set_title(window_->window, title_.c_str());
}

void WindowSheetRenderer::show(std::shared_ptr<View> root, std::function<void()> dismissed) {
  close();
  window_ = std::make_shared<Window>(plugin_, *pump_);
  window_->root = std::move(root);
  window_->dismissed = std::move(dismissed);
  window_->open(title_);
  window_->root->setChangeHandler([weak = std::weak_ptr<Window>(window_)] {
    if (const auto window = weak.lock()) window->scheduleSync();
  });
  window_->sync();
  plugin_.present(window_->window);
  pump_->wake();
}

void WindowSheetRenderer::close() {
  if (!window_) return;
  window_->root->setChangeHandler(nullptr);
  window_->destroy();
  window_.reset();
}

}  // namespace platform
