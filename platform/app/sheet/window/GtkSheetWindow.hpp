#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtk/gtk.h>

#include "platform/app/sheet/WindowSheetPlugin.h"

namespace platform {

// The window sheet plugin's window (WindowSheetPlugin.h): a small GTK 4 window whose widgets, a
// label, a button or a progress bar each, sit at the frames the program gives them, the content
// exactly as large as the program says. Keys go to the program first (Return to the sheet's
// default button through its model), clicks and the window manager's close after. Main thread only.
class GtkSheetWindow {
 public:
  GtkSheetWindow(const char* title, const kelpword_window_events& events);
  ~GtkSheetWindow();
  GtkSheetWindow(const GtkSheetWindow&) = delete;
  GtkSheetWindow& operator=(const GtkSheetWindow&) = delete;

  // Whether GTK opens the display the environment names; initialises GTK the first time, and
  // has windows draw with cairo unless GSK_RENDERER names another renderer.
  static bool displayAvailable();

  void setTitle(const char* title);
  void setItems(const kelpword_window_item* items, std::size_t count);
  void measure(std::uint64_t item, double maxWidth, double* width, double* height) const;
  bool rightToLeft() const;
  void place(const kelpword_window_frame* frames, std::size_t count, int width, int height,
             std::uint64_t defaultButton);
  void present();

 private:
  struct Shown {
    std::uint64_t id;
    int kind;
    GtkWidget* widget;
    GdkRectangle frame;  // where the program put it, in the content's coordinates
  };

  GtkWidget* widgetFor(std::uint64_t id) const;
  GtkWidget* makeWidget(int kind);
  static void update(const kelpword_window_item& item, GtkWidget* widget);
  void correctSize(int allocatedWidth, int allocatedHeight);

  // GTK's signal handlers and the content's layout manager; `data` is the window.
  static gboolean onKeyPressed(GtkEventControllerKey* controller, guint keyval, guint keycode,
                               GdkModifierType state, gpointer data);
  static void onClicked(GtkButton* widget, gpointer data);
  static gboolean onCloseRequest(GtkWindow* closing, gpointer data);
  static gboolean resizeAgain(gpointer data);
  static GtkSizeRequestMode requestMode(GtkWidget* content);
  static void measureContent(GtkWidget* content, GtkOrientation orientation, int forSize,
                             int* least, int* natural, int* leastBaseline, int* naturalBaseline);
  static void allocateContent(GtkWidget* content, int width, int height, int baseline);

  kelpword_window_events events_;
  GtkWidget* window_ = nullptr;
  GtkWidget* content_ = nullptr;
  GtkEventController* keys_ = nullptr;
  std::vector<Shown> shown_;
  int width_ = 0;  // the content's size, as the program placed it last
  int height_ = 0;
  int correctedHeight_ = -1;  // the height the window was last pushed to take
  guint resizeSource_ = 0;
};

}  // namespace platform
