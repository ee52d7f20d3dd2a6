#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtk/gtk.h>

#include "reference-app/ReceivedFiles.hpp"

namespace reference_app {

// The application's window, titled "KelpWord": a line for the latest problem, and the received
// files grouped by per-share folder, newest group first. Drops land anywhere on it. The list makes
// widgets only for the rows in view, so that thousands of files cost no more to show than a
// screenful.
class ReceivedFilesWindow {
 public:
  // `closed` runs once, when the window has gone (closed by the user or the window manager).
  ReceivedFilesWindow(GtkApplication* application, std::function<void()> closed);
  ~ReceivedFilesWindow();
  ReceivedFilesWindow(const ReceivedFilesWindow&) = delete;
  ReceivedFilesWindow& operator=(const ReceivedFilesWindow&) = delete;

  // The widget that takes drops.
  GtkWidget* dropArea() const { return window_; }

  // Replaces the list, in time linear in the number of files.
  void showFiles(const std::vector<ReceivedFiles::Group>& groups);
  // The problem's message in place of the hint, until the next file arrives.
  void showProblem(const std::string& message);
  // Shows the window and brings it to the front, with the desktop's token for that when given
  // (an activation token or startup notification identifier).
  void present(const std::optional<std::string>& startupId = std::nullopt);

 private:
  enum class Row { heading, file };
  static void onDestroy(GtkWidget* window, gpointer self);
  static void onBind(GtkSignalListItemFactory* factory, GtkListItem* item, gpointer self);

  GtkWidget* window_ = nullptr;
  GtkWidget* status_ = nullptr;
  GtkStringList* rows_ = nullptr;  // each row's text, owned by the list view
  std::vector<Row> rowKinds_;      // each row's kind, by position
  std::function<void()> closed_;
};

}  // namespace reference_app
