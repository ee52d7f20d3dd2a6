// A drag source of the tests' own: a small window titled "Drag source" whose whole area can be
// dragged, offering either files or raw data, as another application would.
//
//   reference-drag-source --files PATH...    a file list (text/uri-list and the portal's types)
//   reference-drag-source --data MIME PATH   the bytes of PATH as data of type MIME only
//
// Prints "drag: begun" when a drag has started and "drag: ended" once it is over, and runs until
// its window is closed or it is ended.
#include <cstdio>
#include <cstring>
#include <string>

#include <gtk/gtk.h>

namespace {

GdkContentProvider* filesOffered(int count, char** paths) {
  GSList* files = nullptr;
  for (int i = count - 1; i >= 0; --i)
    files = g_slist_prepend(files, g_file_new_for_path(paths[i]));
  GdkFileList* list = gdk_file_list_new_from_list(files);
  g_slist_free_full(files, g_object_unref);
  GdkContentProvider* provider = gdk_content_provider_new_typed(GDK_TYPE_FILE_LIST, list);
  g_boxed_free(GDK_TYPE_FILE_LIST, list);
  return provider;
}

GdkContentProvider* dataOffered(const char* mimeType, const char* path) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (g_file_get_contents(path, &contents, &length, nullptr) == FALSE) return nullptr;
  GBytes* bytes = g_bytes_new_take(contents, length);
  GdkContentProvider* provider = gdk_content_provider_new_for_bytes(mimeType, bytes);
  g_bytes_unref(bytes);
  return provider;
}

GdkContentProvider* onPrepare(GtkDragSource* /*source*/, double /*x*/, double /*y*/,
                              gpointer offered) {
  return GDK_CONTENT_PROVIDER(g_object_ref(offered));
}

void onDragBegin(GtkDragSource* /*source*/, GdkDrag* /*drag*/, gpointer /*data*/) {
  std::puts("drag: begun");
  std::fflush(stdout);
}

void onDragEnd(GtkDragSource* /*source*/, GdkDrag* /*drag*/, gboolean /*deleteData*/,
               gpointer /*data*/) {
  std::puts("drag: ended");
  std::fflush(stdout);
}

void onDestroy(GtkWidget* /*window*/, gpointer open) { *static_cast<bool*>(open) = false; }

}  // namespace

int main(int argc, char** argv) {
  GdkContentProvider* offered = nullptr;
  if (argc >= 3 && std::strcmp(argv[1], "--files") == 0) {
    offered = filesOffered(argc - 2, argv + 2);
  } else if (argc == 4 && std::strcmp(argv[1], "--data") == 0) {
    offered = dataOffered(argv[2], argv[3]);
  }
  if (offered == nullptr) {
    std::fputs("usage: reference-drag-source --files PATH... | --data MIME PATH\n", stderr);
    return 2;
  }
  if (gtk_init_check() == FALSE) return 1;

  GtkWidget* window = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(window), "Drag source");
  gtk_window_set_default_size(GTK_WINDOW(window), 160, 120);
  GtkWidget* handle = gtk_label_new("Drag me");
  gtk_window_set_child(GTK_WINDOW(window), handle);

  GtkDragSource* source = gtk_drag_source_new();
  gtk_drag_source_set_actions(source, GDK_ACTION_COPY);
  g_signal_connect(source, "prepare", G_CALLBACK(onPrepare), offered);
  g_signal_connect(source, "drag-begin", G_CALLBACK(onDragBegin), nullptr);
  g_signal_connect(source, "drag-end", G_CALLBACK(onDragEnd), nullptr);
  gtk_widget_add_controller(handle, GTK_EVENT_CONTROLLER(source));

  bool open = true;
  g_signal_connect(window, "destroy", G_CALLBACK(onDestroy), &open);
  gtk_window_present(GTK_WINDOW(window));
  while (open) g_main_context_iteration(nullptr, TRUE);
  g_object_unref(offered);
  return 0;
}
