#include "platform/app/sheet/window/WindowSheetRenderer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtk/gtk.h>
#include <asio/post.hpp>

#include "platform/MainThread.hpp"
#include "platform/app/sheet/SheetLayout.hpp"
#include "platform/app/sheet/window/GLibPump.hpp"
#include "platform/app/views/Button.hpp"
#include "platform/app/views/ProgressIndicator.hpp"
#include "platform/app/views/TextField.hpp"

namespace platform {

struct WindowSheetRenderer::Window : std::enable_shared_from_this<Window> {
  struct Shown {
    std::weak_ptr<View> view;
    GtkWidget* widget;
    GdkRectangle frame;  // where the layout put it, in the content's coordinates
  };

  void build(const std::string& title);
  void scheduleSync();
  void sync();
  void removeGone();
  GtkWidget* widgetFor(const View* view) const;
  GtkWidget* makeWidget(const View& view);
  void update(const View& view, GtkWidget* widget) const;
  Size measure(const View& view, double maxWidth) const;
  void correctSize(int width, int height);
  void destroy();

  // GTK's signal handlers; `data` is the Window.
  static gboolean onKeyPressed(GtkEventControllerKey* controller, guint keyval, guint keycode,
                               GdkModifierType state, gpointer data);
  static void onClicked(GtkButton* widget, gpointer data);
  static gboolean onCloseRequest(GtkWindow* closing, gpointer data);
  // The content's layout manager: exactly the sheet's size, each widget at its frame.
  static GtkSizeRequestMode requestMode(GtkWidget* content);
  static void measureContent(GtkWidget* content, GtkOrientation orientation, int forSize,
                             int* least, int* natural, int* leastBaseline, int* naturalBaseline);
  static void allocateContent(GtkWidget* content, int width, int height, int baseline);

  GLibPump* pump = nullptr;
  std::shared_ptr<View> root;
  std::function<void()> dismissed;
  GtkWidget* window = nullptr;
  GtkWidget* content = nullptr;
  GtkEventController* keys = nullptr;
  std::vector<Shown> shown;
  int width = 0;  // the sheet's size, as laid out last
  int height = 0;
  int correctedHeight = -1;  // the height the window was last pushed to take
  bool scheduled = false;
};

namespace {

constexpr const char* windowKey = "kelpword-sheet-window";

int points(double value) { return static_cast<int>(std::lround(value)); }

// What a key press means as a key equivalent: "\r" for Return, the character typed otherwise;
// "" for a key with a command modifier or without a character.
std::string keyEquivalentFor(guint keyval, GdkModifierType state) {
  if ((state & (GDK_CONTROL_MASK | GDK_ALT_MASK | GDK_SUPER_MASK | GDK_META_MASK)) != 0) return "";
  switch (keyval) {
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
      return "\r";
    case GDK_KEY_Escape:
      return "\x1b";
    default:
      break;
  }
  const gunichar character = gdk_keyval_to_unicode(keyval);
  if (character < 0x20 || character == 0x7f) return "";
  char utf8[6];
  return {utf8, static_cast<std::size_t>(g_unichar_to_utf8(character, utf8))};
}

// The sheet is a label and a button, which cairo draws at once. OpenGL would first load its
// driver and compile its shaders, on the main thread while the share waits: a tenth of a second
// on a graphics card, seconds with a software renderer. A renderer the user names in
// GSK_RENDERER still wins. (GTK reads the display's "gsk-renderer" before that variable.)
void drawWithCairoUnlessChosen(GdkDisplay* display) {
  const char* chosen = std::getenv("GSK_RENDERER");  // NOLINT(concurrency-mt-unsafe): see caller
  if (display == nullptr || (chosen != nullptr && *chosen != '\0')) return;
  g_object_set_data(G_OBJECT(display), "gsk-renderer", const_cast<char*>("cairo"));
}

}  // namespace

gboolean WindowSheetRenderer::Window::onKeyPressed(GtkEventControllerKey* /*controller*/,
                                                   guint keyval, guint /*keycode*/,
                                                   GdkModifierType state, gpointer data) {
  auto* self = static_cast<Window*>(data);
  const auto key = keyEquivalentFor(keyval, state);
  const auto root = self->root;  // the action may end the sheet
  if (key.empty() || !root) return FALSE;
  return root->performKeyEquivalent(key) ? TRUE : FALSE;
}

void WindowSheetRenderer::Window::onClicked(GtkButton* widget, gpointer data) {
  auto* self = static_cast<Window*>(data);
  std::shared_ptr<Button> button;
  for (const auto& item : self->shown) {
    if (item.widget == GTK_WIDGET(widget))
      button = std::dynamic_pointer_cast<Button>(item.view.lock());
  }
  if (button) button->performClick();
}

gboolean WindowSheetRenderer::Window::onCloseRequest(GtkWindow* /*window*/, gpointer data) {
  auto* self = static_cast<Window*>(data);
  // The runtime takes the window away through close(), once the request has ended.
  if (const auto dismissed = self->dismissed) dismissed();
  return TRUE;
}

GtkSizeRequestMode WindowSheetRenderer::Window::requestMode(GtkWidget* /*content*/) {
  return GTK_SIZE_REQUEST_CONSTANT_SIZE;
}

void WindowSheetRenderer::Window::measureContent(GtkWidget* content, GtkOrientation orientation,
                                                 int /*forSize*/, int* least, int* natural,
                                                 int* /*leastBaseline*/, int* /*naturalBaseline*/) {
  const auto* self = static_cast<const Window*>(g_object_get_data(G_OBJECT(content), windowKey));
  const int size = self == nullptr                             ? 0
                   : orientation == GTK_ORIENTATION_HORIZONTAL ? self->width
                                                               : self->height;
  *least = size;
  *natural = size;
}

void WindowSheetRenderer::Window::allocateContent(GtkWidget* content, int width, int height,
                                                  int /*baseline*/) {
  auto* self = static_cast<Window*>(g_object_get_data(G_OBJECT(content), windowKey));
  if (self == nullptr) return;
  for (const auto& item : self->shown) gtk_widget_size_allocate(item.widget, &item.frame, -1);
  self->correctSize(width, height);
}

void WindowSheetRenderer::Window::correctSize(int allocatedWidth, int allocatedHeight) {
  // GTK 4.8 on X11 loses a size change made while the window is being mapped, and leaves the
  // window at its first size. Ask once more for each size the sheet takes.
  if ((allocatedWidth == width && allocatedHeight == height) || correctedHeight == height) return;
  correctedHeight = height;
  asio::post(mainContext(), [weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self || self->window == nullptr) return;
    gtk_widget_queue_resize(self->window);
    self->pump->wake();
  });
  pump->wake();
}

void WindowSheetRenderer::Window::build(const std::string& title) {
  window = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(window), title.c_str());
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  g_object_set_data(G_OBJECT(content), windowKey, this);
  gtk_widget_set_layout_manager(
      content, gtk_custom_layout_new(requestMode, measureContent, allocateContent));
  gtk_window_set_child(GTK_WINDOW(window), content);
  g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), this);
  // Before the focused widget: Return goes to the sheet's default button through the model.
  keys = gtk_event_controller_key_new();
  gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
  g_signal_connect(keys, "key-pressed", G_CALLBACK(onKeyPressed), this);
  gtk_widget_add_controller(window, keys);
}

void WindowSheetRenderer::Window::scheduleSync() {
  if (scheduled) return;
  scheduled = true;
  asio::post(mainContext(), [weak = weak_from_this()] {
    if (const auto self = weak.lock(); self && self->scheduled) self->sync();
  });
}

GtkWidget* WindowSheetRenderer::Window::widgetFor(const View* view) const {
  for (const auto& item : shown) {
    if (item.view.lock().get() == view) return item.widget;
  }
  return nullptr;
}

void WindowSheetRenderer::Window::removeGone() {
  const auto gone = std::remove_if(shown.begin(), shown.end(), [this](const Shown& item) {
    const auto view = item.view.lock();
    if (view && view->superview() == root) return false;
    g_signal_handlers_disconnect_by_data(item.widget, this);
    gtk_box_remove(GTK_BOX(content), item.widget);
    return true;
  });
  shown.erase(gone, shown.end());
}

GtkWidget* WindowSheetRenderer::Window::makeWidget(const View& view) {
  GtkWidget* widget = nullptr;
  if (dynamic_cast<const TextField*>(&view) != nullptr) {
    widget = gtk_label_new(nullptr);
  } else if (dynamic_cast<const Button*>(&view) != nullptr) {
    widget = gtk_button_new();
    g_signal_connect(widget, "clicked", G_CALLBACK(onClicked), this);
  } else if (dynamic_cast<const ProgressIndicator*>(&view) != nullptr) {
    widget = gtk_progress_bar_new();  // its accessible role and value come with it
    gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(widget), TRUE);
  } else {
    return nullptr;  // a plain view draws nothing
  }
  gtk_box_append(GTK_BOX(content), widget);
  return widget;
}

void WindowSheetRenderer::Window::update(const View& view, GtkWidget* widget) const {
  if (const auto* field = dynamic_cast<const TextField*>(&view)) {
    auto* label = GTK_LABEL(widget);
    if (field->stringValue() != gtk_label_get_text(label)) {
      gtk_label_set_text(label, field->stringValue().c_str());
    }
    gtk_label_set_wrap(label, field->wraps() ? TRUE : FALSE);
    gtk_label_set_wrap_mode(label, PANGO_WRAP_WORD_CHAR);
    GtkJustification justification = GTK_JUSTIFY_LEFT;
    float position = 0;
    switch (field->alignment()) {
      case TextAlignment::natural:
      case TextAlignment::left:
        break;
      case TextAlignment::center:
        justification = GTK_JUSTIFY_CENTER;
        position = 0.5F;
        break;
      case TextAlignment::right:
        justification = GTK_JUSTIFY_RIGHT;
        position = 1;
        break;
      case TextAlignment::justified:
        justification = GTK_JUSTIFY_FILL;
        break;
    }
    gtk_label_set_justify(label, justification);
    gtk_label_set_xalign(label, position);
  } else if (const auto* button = dynamic_cast<const Button*>(&view)) {
    const char* title = gtk_button_get_label(GTK_BUTTON(widget));
    if (title == nullptr || button->title() != title) {
      gtk_button_set_label(GTK_BUTTON(widget), button->title().c_str());
    }
  } else if (const auto* progress = dynamic_cast<const ProgressIndicator*>(&view)) {
    auto* bar = GTK_PROGRESS_BAR(widget);
    gtk_progress_bar_set_fraction(bar, progress->fraction());
    const char* text = gtk_progress_bar_get_text(bar);
    if (text == nullptr || progress->detail() != text)
      gtk_progress_bar_set_text(bar, progress->detail().c_str());
  }
}

Size WindowSheetRenderer::Window::measure(const View& view, double maxWidth) const {
  GtkWidget* widget = widgetFor(&view);
  if (widget == nullptr) return {};
  int least = 0;
  int natural = 0;
  gtk_widget_measure(widget, GTK_ORIENTATION_HORIZONTAL, -1, &least, &natural, nullptr, nullptr);
  const int fitting = std::max(least, std::min(natural, static_cast<int>(std::floor(maxWidth))));
  int leastHeight = 0;
  int naturalHeight = 0;
  gtk_widget_measure(widget, GTK_ORIENTATION_VERTICAL, fitting, &leastHeight, &naturalHeight,
                     nullptr, nullptr);
  return {static_cast<double>(fitting), static_cast<double>(std::max(leastHeight, naturalHeight))};
}

void WindowSheetRenderer::Window::sync() {
  scheduled = false;
  if (!root || window == nullptr) return;
  removeGone();
  for (const auto& view : root->subviews()) {
    GtkWidget* widget = widgetFor(view.get());
    if (widget == nullptr) {
      widget = makeWidget(*view);
      if (widget == nullptr) continue;
      shown.push_back({view, widget});
    }
    update(*view, widget);
  }

  const auto direction = gtk_widget_get_direction(window) == GTK_TEXT_DIR_RTL
                             ? sheetLayout::Direction::rightToLeft
                             : sheetLayout::Direction::leftToRight;
  const auto geometry = sheetLayout::layOut(
      *root, [this](const View& view, double maxWidth) { return measure(view, maxWidth); },
      direction);
  for (const auto& placement : geometry.placements) {
    for (auto& item : shown) {
      if (item.view.lock() != placement.view) continue;
      const auto& frame = placement.frame;
      item.frame = {points(frame.x), points(frame.y), points(frame.width), points(frame.height)};
    }
  }
  width = points(geometry.size.width);
  height = points(geometry.size.height);
  gtk_widget_queue_resize(content);

  const auto defaultButton = root->defaultButton();
  gtk_window_set_default_widget(GTK_WINDOW(window),
                                defaultButton ? widgetFor(defaultButton.get()) : nullptr);
  pump->wake();
}

void WindowSheetRenderer::Window::destroy() {
  if (window == nullptr) return;
  for (const auto& item : shown) g_signal_handlers_disconnect_by_data(item.widget, this);
  g_signal_handlers_disconnect_by_data(keys, this);
  g_signal_handlers_disconnect_by_data(window, this);
  g_object_set_data(G_OBJECT(content), windowKey, nullptr);
  gtk_window_destroy(GTK_WINDOW(window));
  // Gone from the screen now, not when GLib next runs.
  gdk_display_flush(gdk_display_get_default());
  window = nullptr;
  content = nullptr;
  keys = nullptr;
  shown.clear();
}

bool WindowSheetRenderer::displayAvailable() {
  // NOLINTBEGIN(concurrency-mt-unsafe): read on the main thread before other threads start
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x11 = std::getenv("DISPLAY");
  // NOLINTEND(concurrency-mt-unsafe)
  if ((wayland == nullptr || *wayland == '\0') && (x11 == nullptr || *x11 == '\0')) return false;
  static const bool opened = [] {
    if (gtk_init_check() == FALSE) return false;
    drawWithCairoUnlessChosen(gdk_display_get_default());
    return true;
  }();
  return opened;
}

WindowSheetRenderer::WindowSheetRenderer() : pump_(std::make_unique<GLibPump>(mainContext())) {}

WindowSheetRenderer::~WindowSheetRenderer() { close(); }

void WindowSheetRenderer::setTitle(const std::string& title) {
  title_ = title;
  if (window_ && window_->window != nullptr)
    gtk_window_set_title(GTK_WINDOW(window_->window), title_.c_str());
}

void WindowSheetRenderer::show(std::shared_ptr<View> root, std::function<void()> dismissed) {
  close();
  window_ = std::make_shared<Window>();
  window_->pump = pump_.get();
  window_->root = std::move(root);
  window_->dismissed = std::move(dismissed);
  window_->build(title_);
  window_->root->setChangeHandler([weak = std::weak_ptr<Window>(window_)] {
    if (const auto window = weak.lock()) window->scheduleSync();
  });
  window_->sync();
  gtk_window_present(GTK_WINDOW(window_->window));
  pump_->wake();
}

void WindowSheetRenderer::close() {
  if (!window_) return;
  window_->root->setChangeHandler(nullptr);
  window_->destroy();
  window_.reset();
}

}  // namespace platform
