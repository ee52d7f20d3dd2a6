#include "platform/app/sheet/window/GtkSheetWindow.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {
namespace {

constexpr const char* windowKey = "kelpword-sheet-window";

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

void setText(GtkLabel* label, const char* text) {
  if (std::strcmp(gtk_label_get_text(label), text) != 0) gtk_label_set_text(label, text);
}

void align(GtkLabel* label, int alignment) {
  GtkJustification justification = GTK_JUSTIFY_LEFT;
  float position = 0;
  switch (alignment) {
    case KELPWORD_WINDOW_ALIGN_CENTER:
      justification = GTK_JUSTIFY_CENTER;
      position = 0.5F;
      break;
    case KELPWORD_WINDOW_ALIGN_RIGHT:
      justification = GTK_JUSTIFY_RIGHT;
      position = 1;
      break;
    case KELPWORD_WINDOW_ALIGN_JUSTIFIED:
      justification = GTK_JUSTIFY_FILL;
      break;
    default:
      break;
  }
  gtk_label_set_justify(label, justification);
  gtk_label_set_xalign(label, position);
}

}  // namespace

GtkSheetWindow::GtkSheetWindow(const char* title, const kelpword_window_events& events)
    : events_(events) {
  window_ = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(window_), title);
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  content_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  g_object_set_data(G_OBJECT(content_), windowKey, this);
  gtk_widget_set_layout_manager(
      content_, gtk_custom_layout_new(requestMode, measureContent, allocateContent));
  gtk_window_set_child(GTK_WINDOW(window_), content_);
  g_signal_connect(window_, "close-request", G_CALLBACK(onCloseRequest), this);
  // Before the focused widget: Return goes to the sheet's default button through the model.
  keys_ = gtk_event_controller_key_new();
  gtk_event_controller_set_propagation_phase(keys_, GTK_PHASE_CAPTURE);
  g_signal_connect(keys_, "key-pressed", G_CALLBACK(onKeyPressed), this);
  gtk_widget_add_controller(window_, keys_);
}

GtkSheetWindow::~GtkSheetWindow() {
  if (resizeSource_ != 0) g_source_remove(resizeSource_);
  for (const auto& item : shown_) g_signal_handlers_disconnect_by_data(item.widget, this);
  g_signal_handlers_disconnect_by_data(keys_, this);
  g_signal_handlers_disconnect_by_data(window_, this);
  g_object_set_data(G_OBJECT(content_), windowKey, nullptr);
  gtk_window_destroy(GTK_WINDOW(window_));
  // Gone from the screen now, not when GLib next runs.
  gdk_display_flush(gdk_display_get_default());
}

bool GtkSheetWindow::displayAvailable() {
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

void GtkSheetWindow::setTitle(const char* title) {
  gtk_window_set_title(GTK_WINDOW(window_), title);
}

GtkWidget* GtkSheetWindow::widgetFor(std::uint64_t id) const {
  for (const auto& item : shown_) {
    if (item.id == id) return item.widget;
  }
  return nullptr;
}

GtkWidget* GtkSheetWindow::makeWidget(int kind) {
  GtkWidget* widget = nullptr;
  switch (kind) {
    case KELPWORD_WINDOW_LABEL:
      widget = gtk_label_new(nullptr);
      gtk_label_set_wrap_mode(GTK_LABEL(widget), PANGO_WRAP_WORD_CHAR);
      break;
    case KELPWORD_WINDOW_BUTTON:
      widget = gtk_button_new();
      g_signal_connect(widget, "clicked", G_CALLBACK(onClicked), this);
      break;
    case KELPWORD_WINDOW_PROGRESS_BAR:
      widget = gtk_progress_bar_new();  // its accessible role and value come with it
      gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(widget), TRUE);
      break;
    default:
      return nullptr;  // a kind of a later version: nothing to draw
  }
  gtk_box_append(GTK_BOX(content_), widget);
  return widget;
}

void GtkSheetWindow::update(const kelpword_window_item& item, GtkWidget* widget) {
  const char* text = item.text != nullptr ? item.text : "";
  switch (item.kind) {
    case KELPWORD_WINDOW_LABEL:
      setText(GTK_LABEL(widget), text);
      gtk_label_set_wrap(GTK_LABEL(widget), item.wraps != 0 ? TRUE : FALSE);
      align(GTK_LABEL(widget), item.alignment);
      break;
    case KELPWORD_WINDOW_BUTTON: {
      const char* title = gtk_button_get_label(GTK_BUTTON(widget));
      if (title == nullptr || std::strcmp(title, text) != 0)
        gtk_button_set_label(GTK_BUTTON(widget), text);
      break;
    }
    case KELPWORD_WINDOW_PROGRESS_BAR: {
      auto* bar = GTK_PROGRESS_BAR(widget);
      gtk_progress_bar_set_fraction(bar, std::clamp(item.fraction, 0.0, 1.0));
      const char* line = gtk_progress_bar_get_text(bar);
      if (line == nullptr || std::strcmp(line, text) != 0) gtk_progress_bar_set_text(bar, text);
      break;
    }
    default:
      break;
  }
}

void GtkSheetWindow::setItems(const kelpword_window_item* items, std::size_t count) {
  const auto listed = [&](const Shown& shown) {
    return std::any_of(items, items + count, [&](const kelpword_window_item& item) {
      return item.id == shown.id && item.kind == shown.kind;
    });
  };
  const auto gone = std::remove_if(shown_.begin(), shown_.end(), [&](const Shown& shown) {
    if (listed(shown)) return false;
    g_signal_handlers_disconnect_by_data(shown.widget, this);
    gtk_box_remove(GTK_BOX(content_), shown.widget);
    return true;
  });
  shown_.erase(gone, shown_.end());
  for (std::size_t i = 0; i < count; ++i) {
    const auto& item = items[i];
    GtkWidget* widget = widgetFor(item.id);
    if (widget == nullptr) {
      widget = makeWidget(item.kind);
      if (widget == nullptr) continue;
      shown_.push_back({item.id, item.kind, widget, {}});
    }
    update(item, widget);
  }
}

void GtkSheetWindow::measure(std::uint64_t item, double maxWidth, double* width,
                             double* height) const {
  *width = 0;
  *height = 0;
  GtkWidget* widget = widgetFor(item);
  if (widget == nullptr) return;
  int least = 0;
  int natural = 0;
  gtk_widget_measure(widget, GTK_ORIENTATION_HORIZONTAL, -1, &least, &natural, nullptr, nullptr);
  const int fitting = std::max(least, std::min(natural, static_cast<int>(std::floor(maxWidth))));
  int leastHeight = 0;
  int naturalHeight = 0;
  gtk_widget_measure(widget, GTK_ORIENTATION_VERTICAL, fitting, &leastHeight, &naturalHeight,
                     nullptr, nullptr);
  *width = fitting;
  *height = std::max(leastHeight, naturalHeight);
}

bool GtkSheetWindow::rightToLeft() const {
  return gtk_widget_get_direction(window_) == GTK_TEXT_DIR_RTL;
}

void GtkSheetWindow::place(const kelpword_window_frame* frames, std::size_t count, int width,
                           int height, std::uint64_t defaultButton) {
  for (std::size_t i = 0; i < count; ++i) {
    for (auto& item : shown_) {
      if (item.id == frames[i].id)
        item.frame = {frames[i].x, frames[i].y, frames[i].width, frames[i].height};
    }
  }
  width_ = width;
  height_ = height;
  gtk_widget_queue_resize(content_);
  gtk_window_set_default_widget(GTK_WINDOW(window_),
                                defaultButton != 0 ? widgetFor(defaultButton) : nullptr);
}

void GtkSheetWindow::present() { gtk_window_present(GTK_WINDOW(window_)); }

gboolean GtkSheetWindow::onKeyPressed(GtkEventControllerKey* /*controller*/, guint keyval,
                                      guint /*keycode*/, GdkModifierType state, gpointer data) {
  auto* self = static_cast<GtkSheetWindow*>(data);
  const auto key = keyEquivalentFor(keyval, state);
  if (key.empty()) return FALSE;
  // The program may close the window meanwhile: nothing of it is touched after.
  return self->events_.key(self->events_.program, key.c_str()) != 0 ? TRUE : FALSE;
}

void GtkSheetWindow::onClicked(GtkButton* widget, gpointer data) {
  auto* self = static_cast<GtkSheetWindow*>(data);
  for (const auto& item : self->shown_) {
    if (item.widget == GTK_WIDGET(widget)) {
      self->events_.clicked(self->events_.program, item.id);
      return;
    }
  }
}

gboolean GtkSheetWindow::onCloseRequest(GtkWindow* /*window*/, gpointer data) {
  auto* self = static_cast<GtkSheetWindow*>(data);
  // The program takes the window away through close_window(), once its request has ended.
  self->events_.close_requested(self->events_.program);
  return TRUE;
}

GtkSizeRequestMode GtkSheetWindow::requestMode(GtkWidget* /*content*/) {
  return GTK_SIZE_REQUEST_CONSTANT_SIZE;
}

void GtkSheetWindow::measureContent(GtkWidget* content, GtkOrientation orientation, int /*forSize*/,
                                    int* least, int* natural, int* /*leastBaseline*/,
                                    int* /*naturalBaseline*/) {
  const auto* self =
      static_cast<const GtkSheetWindow*>(g_object_get_data(G_OBJECT(content), windowKey));
  const int size = self == nullptr                             ? 0
                   : orientation == GTK_ORIENTATION_HORIZONTAL ? self->width_
                                                               : self->height_;
  *least = size;
  *natural = size;
}

void GtkSheetWindow::allocateContent(GtkWidget* content, int width, int height, int /*baseline*/) {
  auto* self = static_cast<GtkSheetWindow*>(g_object_get_data(G_OBJECT(content), windowKey));
  if (self == nullptr) return;
  for (const auto& item : self->shown_) gtk_widget_size_allocate(item.widget, &item.frame, -1);
  self->correctSize(width, height);
}

void GtkSheetWindow::correctSize(int allocatedWidth, int allocatedHeight) {
  // GTK 4.8 on X11 loses a size change made while the window is being mapped, and leaves the
  // window at its first size. Ask once more for each size the sheet takes, after this turn.
  if ((allocatedWidth == width_ && allocatedHeight == height_) || correctedHeight_ == height_)
    return;
  correctedHeight_ = height_;
  if (resizeSource_ == 0) resizeSource_ = g_idle_add(resizeAgain, this);
}

gboolean GtkSheetWindow::resizeAgain(gpointer data) {
  auto* self = static_cast<GtkSheetWindow*>(data);
  self->resizeSource_ = 0;
  gtk_widget_queue_resize(self->window_);
  return G_SOURCE_REMOVE;
}

}  // namespace platform
