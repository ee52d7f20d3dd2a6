#pragma once

#include <functional>
#include <string>
#include <vector>

#include <gtk/gtk.h>

#include "reference-app/ReceivedFiles.hpp"

namespace reference_app {

// The application's window, titled "KelpWord": a line for the latest problem, and the received
// files grouped by per-share folder, newest group first. Drops land anywhere on it.
class ReceivedFilesWindow {
 public:
  // `closed` runs once, when the window has gone (closed by the user or the window manager).
  ReceivedFilesWindow(GtkApplication* application, std::function<void()> closed);
  ~ReceivedFilesWindow();
  ReceivedFilesWindow(const ReceivedFilesWindow&) = delete;
  ReceivedFilesWindow& operator=(const ReceivedFilesWindow&) = delete;

  // The widget that takes drops.
  GtkWidget* dropArea() const { return window_; }

  void showFiles(const std::vector<ReceivedFiles::Group>& groups);
  // The problem's message in place of the hint, until the next file arrives.
  void showProblem(const std::string& message);
  void present();

 private:
  static void onDestroy(GtkWidget* window, gpointer self);

  GtkWidget* window_ = nullptr;
  GtkWidget* status_ = nullptr;
  GtkWidget* list_ = nullptr;
  std::function<void()> closed_;
};

}  // namespace reference_app
