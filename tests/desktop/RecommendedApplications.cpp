// Asks GIO, as GIO-based file managers do for "Open With", which applications it recommends.
//
//   recommended-applications TYPE-OR-NAME…
//
// Each argument is a MIME type ("audio/mpeg") or, without a "/", a file name whose type GIO
// guesses from the name alone, as a file manager does before it reads the file. Prints one line
// per argument: the argument, the content type asked for, the recommended desktop entries' ids,
// and the id of the default application for a local file of that type ("" for none), separated by
// tabs. GIO reads the desktop's folders from XDG_DATA_HOME and XDG_DATA_DIRS.
#include <cstdio>
#include <string>

#include <gio/gio.h>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    std::string type = argument;
    if (argument.find('/') == std::string::npos) {
      gchar* guessed = g_content_type_guess(argument.c_str(), nullptr, 0, nullptr);
      gchar* mimeType = g_content_type_get_mime_type(guessed);
      type = mimeType != nullptr ? mimeType : guessed;
      g_free(mimeType);
      g_free(guessed);
    }
    std::string line = argument;
    line.append("\t").append(type).append("\t");
    GList* applications = g_app_info_get_recommended_for_type(type.c_str());
    for (GList* entry = applications; entry != nullptr; entry = entry->next) {
      const char* id = g_app_info_get_id(G_APP_INFO(entry->data));
      if (id != nullptr) line += std::string(id) + " ";
    }
    g_list_free_full(applications, g_object_unref);
    // As a file manager and `gio open` ask for a local file: URIs need not be supported.
    GAppInfo* standard = g_app_info_get_default_for_type(type.c_str(), FALSE);
    line += "\t";
    if (standard != nullptr) {
      if (const char* id = g_app_info_get_id(standard)) line += id;
      g_object_unref(standard);
    }
    std::printf("%s\n", line.c_str());
  }
  return 0;
}
