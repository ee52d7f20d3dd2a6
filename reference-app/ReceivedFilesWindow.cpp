#include "reference-app/ReceivedFilesWindow.hpp"

#include <utility>

namespace reference_app {
namespace {

constexpr const char* kHint = "Drop recordings here, or share them to KelpWord.";
constexpr int kMargin = 16;

GtkWidget* label(const std::string& text, bool bold) {
  GtkWidget* shown = gtk_label_new(nullptr);
  if (bold) {
    char* markup = g_markup_printf_escaped("<b>%s</b>", text.c_str());
    gtk_label_set_markup(GTK_LABEL(shown), markup);
    g_free(markup);
  } else {
    gtk_label_set_text(GTK_LABEL(shown), text.c_str());
  }
  gtk_label_set_xalign(GTK_LABEL(shown), 0);
  gtk_label_set_wrap(GTK_LABEL(shown), TRUE);
  gtk_label_set_wrap_mode(GTK_LABEL(shown), PANGO_WRAP_WORD_CHAR);
  return shown;
}

}  // namespace

ReceivedFilesWindow::ReceivedFilesWindow(GtkApplication* application, std::function<void()> closed)
    : window_(gtk_application_window_new(application)), closed_(std::move(closed)) {
  gtk_window_set_title(GTK_WINDOW(window_), "KelpWord");
  gtk_window_set_default_size(GTK_WINDOW(window_), 480, 320);

  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_widget_set_margin_top(content, kMargin);
  gtk_widget_set_margin_bottom(content, kMargin);
  gtk_widget_set_margin_start(content, kMargin);
  gtk_widget_set_margin_end(content, kMargin);

  status_ = label(kHint, false);
  gtk_box_append(GTK_BOX(content), status_);

  list_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  GtkWidget* scrolled = gtk_scrolled_window_new();
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_widget_set_vexpand(scrolled, TRUE);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scrolled), list_);
  gtk_box_append(GTK_BOX(content), scrolled);

  gtk_window_set_child(GTK_WINDOW(window_), content);
  g_signal_connect(window_, "destroy", G_CALLBACK(onDestroy), this);
}

ReceivedFilesWindow::~ReceivedFilesWindow() {
  if (window_ == nullptr) return;
  g_signal_handlers_disconnect_by_data(window_, this);
  gtk_window_destroy(GTK_WINDOW(window_));
}

void ReceivedFilesWindow::onDestroy(GtkWidget* /*window*/, gpointer self) {
  auto* shown = static_cast<ReceivedFilesWindow*>(self);
  shown->window_ = nullptr;
  shown->status_ = nullptr;
  shown->list_ = nullptr;
  if (shown->closed_) std::exchange(shown->closed_, nullptr)();
}

void ReceivedFilesWindow::showFiles(const std::vector<ReceivedFiles::Group>& groups) {
  if (list_ == nullptr) return;
  while (GtkWidget* child = gtk_widget_get_first_child(list_))
    gtk_box_remove(GTK_BOX(list_), child);
  bool first = true;
  for (const auto& group : groups) {
    GtkWidget* heading = label(group.folder.lastPathComponent(), true);
    if (!first) gtk_widget_set_margin_top(heading, 8);
    first = false;
    gtk_box_append(GTK_BOX(list_), heading);
    for (const auto& file : group.files) {
      GtkWidget* row = label(file.lastPathComponent(), false);
      gtk_widget_set_margin_start(row, 16);
      gtk_box_append(GTK_BOX(list_), row);
    }
  }
  gtk_label_set_text(GTK_LABEL(status_), kHint);
}

void ReceivedFilesWindow::showProblem(const std::string& message) {
  if (status_ != nullptr) gtk_label_set_text(GTK_LABEL(status_), message.c_str());
}

void ReceivedFilesWindow::present() {
  if (window_ != nullptr) gtk_window_present(GTK_WINDOW(window_));
}

}  // namespace reference_app
