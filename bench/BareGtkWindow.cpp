// kelpword-bench-bare-window: the least a GTK 4 program does to show a window like the share's
// sheet (a title and one line of text, drawn with cairo) and draw its first frame; it exits once
// that frame is painted. What a share with a window is measured against.
#include <cstdlib>

#include <gtk/gtk.h>

namespace {

void onFirstFrame(GdkFrameClock* /*clock*/, gpointer done) { *static_cast<bool*>(done) = true; }

void watchFrames(GtkWidget* window, gpointer done) {
  GdkFrameClock* clock = gtk_widget_get_frame_clock(window);
  g_signal_connect(clock, "after-paint", G_CALLBACK(onFirstFrame), done);
}

}  // namespace

int main() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): before GTK starts any thread
  ::setenv("GSK_RENDERER", "cairo", /*overwrite=*/0);
  if (gtk_init_check() == FALSE) return 1;
  bool done = false;
  GtkWidget* window = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(window), "KelpWord");
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(window), 340, 90);
  gtk_window_set_child(GTK_WINDOW(window), gtk_label_new("Sending to KelpWord\u2026"));
  g_signal_connect(window, "realize", G_CALLBACK(watchFrames), &done);
  gtk_window_present(GTK_WINDOW(window));
  while (!done) g_main_context_iteration(nullptr, TRUE);
  gtk_window_destroy(GTK_WINDOW(window));
  gdk_display_flush(gdk_display_get_default());
  return 0;
}
