#include "reference-app/ReceivedFilesWindow.hpp"

#include <string>
#include <utility>
#include <vector>

namespace reference_app {
namespace {

constexpr const char* kHint = "Drop recordings here, or share them to KelpWord.";
constexpr int kMargin = 16;
constexpr int kFileIndent = 16;
constexpr int kGroupSpacing = 8;

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

// A row's label, its text and look set when it is bound to a row.
void onSetup(GtkSignalListItemFactory* /*factory*/, GtkListItem* item, gpointer /*data*/) {
  gtk_list_item_set_activatable(item, FALSE);
  gtk_list_item_set_selectable(item, FALSE);
  gtk_list_item_set_child(item, label("", false));
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

  rows_ = gtk_string_list_new(nullptr);
  GtkListItemFactory* factory = gtk_signal_list_item_factory_new();
  g_signal_connect(factory, "setup", G_CALLBACK(onSetup), nullptr);
  g_signal_connect(factory, "bind", G_CALLBACK(onBind), this);
  // The view takes the model and the factory.
  GtkWidget* list =
      gtk_list_view_new(GTK_SELECTION_MODEL(gtk_no_selection_new(G_LIST_MODEL(rows_))), factory);
  GtkWidget* scrolled = gtk_scrolled_window_new();
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_widget_set_vexpand(scrolled, TRUE);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scrolled), list);
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
  shown->rows_ = nullptr;
  if (shown->closed_) std::exchange(shown->closed_, nullptr)();
}

void ReceivedFilesWindow::onBind(GtkSignalListItemFactory* /*factory*/, GtkListItem* item,
                                 gpointer self) {
  const auto& kinds = static_cast<ReceivedFilesWindow*>(self)->rowKinds_;
  const auto position = gtk_list_item_get_position(item);
  const bool heading = position < kinds.size() && kinds[position] == Row::heading;
  auto* shown = GTK_LABEL(gtk_list_item_get_child(item));
  const char* text = gtk_string_object_get_string(GTK_STRING_OBJECT(gtk_list_item_get_item(item)));
  if (heading) {
    char* markup = g_markup_printf_escaped("<b>%s</b>", text);
    gtk_label_set_markup(shown, markup);
    g_free(markup);
  } else {
    gtk_label_set_text(shown, text);
  }
  gtk_widget_set_margin_start(GTK_WIDGET(shown), heading ? 0 : kFileIndent);
  gtk_widget_set_margin_top(GTK_WIDGET(shown), heading && position > 0 ? kGroupSpacing : 0);
}

void ReceivedFilesWindow::showFiles(const std::vector<ReceivedFiles::Group>& groups) {
  if (rows_ == nullptr) return;
  std::vector<std::string> texts;
  rowKinds_.clear();
  for (const auto& group : groups) {
    texts.push_back(group.folder.lastPathComponent());
    rowKinds_.push_back(Row::heading);
    for (const auto& file : group.files) {
      texts.push_back(file.lastPathComponent());
      rowKinds_.push_back(Row::file);
    }
  }
  std::vector<const char*> strings;
  strings.reserve(texts.size() + 1);
  for (const auto& text : texts) strings.push_back(text.c_str());
  strings.push_back(nullptr);
  // One change of the whole list: the view lays itself out once.
  gtk_string_list_splice(rows_, 0, g_list_model_get_n_items(G_LIST_MODEL(rows_)), strings.data());
  gtk_label_set_text(GTK_LABEL(status_), kHint);
}

void ReceivedFilesWindow::showProblem(const std::string& message) {
  if (status_ != nullptr) gtk_label_set_text(GTK_LABEL(status_), message.c_str());
}

void ReceivedFilesWindow::present(const std::optional<std::string>& startupId) {
  if (window_ == nullptr) return;
  if (startupId) gtk_window_set_startup_id(GTK_WINDOW(window_), startupId->c_str());
  gtk_window_present(GTK_WINDOW(window_));
}

}  // namespace reference_app
