#include "reference-app/DropTarget.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/UTType.hpp"

namespace reference_app {
namespace {

// The name a dropped stream of data is written under; the reader then gives it its clean name,
// with the extension of its type.
constexpr const char* kDataFileName = "Recording";

// What file lists travel as: URIs, or the document portal's keys for files that a sandboxed
// application hands over (the toolkit turns those into paths below the portal's folder).
constexpr std::array kFileListTypes{"text/uri-list", "application/vnd.portal.filetransfer",
                                    "application/vnd.portal.files"};

using SharedRead = std::shared_ptr<const ReadDrop>;

// The audio or video type of data of `mimeType`, from the platform's content-type table.
std::optional<platform::UTType> audioTypeForMIMEType(std::string_view mimeType) {
  return platform::UTType::forMIMEType(mimeType, platform::UTType::audiovisualContent());
}

// Every MIME type the table knows for audio and video, each once.
std::vector<std::string> audioMIMETypes() {
  std::vector<std::string> all;
  for (const auto& type : platform::UTType::allTypes()) {
    if (!type.conforms(platform::UTType::audiovisualContent())) continue;
    for (const auto& mimeType : type.mimeTypes()) {
      if (std::find(all.begin(), all.end(), mimeType) == all.end()) all.push_back(mimeType);
    }
  }
  return all;
}

// Runs `work` on the main thread: now when called there, otherwise from GLib's main context.
void onMainThread(std::function<void()> work) {
  if (g_main_context_is_owner(g_main_context_default()) != FALSE) {
    work();
    return;
  }
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(work)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

GdkContentFormats* acceptedFormats() {
  GdkContentFormatsBuilder* builder = gdk_content_formats_builder_new();
  gdk_content_formats_builder_add_gtype(builder, GDK_TYPE_FILE_LIST);
  for (const char* type : kFileListTypes) gdk_content_formats_builder_add_mime_type(builder, type);
  for (const auto& type : audioMIMETypes()) {
    gdk_content_formats_builder_add_mime_type(builder, type.c_str());
  }
  return gdk_content_formats_builder_free_to_formats(builder);
}

bool offersFiles(GdkContentFormats* formats) {
  for (const char* type : kFileListTypes) {
    if (gdk_content_formats_contain_mime_type(formats, type) != FALSE) return true;
  }
  return false;
}

// The first audio or video MIME type the source offers, in the source's order.
std::optional<std::string> offeredAudioType(GdkContentFormats* formats) {
  gsize count = 0;
  const char* const* types = gdk_content_formats_get_mime_types(formats, &count);
  for (gsize i = 0; i < count; ++i) {
    if (audioTypeForMIMEType(types[i])) return types[i];
  }
  return std::nullopt;
}

// A location as the pasteboard carries it: a file by its path (the portal's files too), anything
// else by its URI, which the pasteboard never reads as a file.
std::optional<platform::Url> locationOf(GFile* file) {
  if (char* path = g_file_get_path(file)) {
    auto url = platform::Url::fileURL(path, false);
    g_free(path);
    return url;
  }
  char* uri = g_file_get_uri(file);
  auto url = platform::Url::parse(uri != nullptr ? uri : "");
  g_free(uri);
  return url;
}

void onFileList(GObject* source, GAsyncResult* result, gpointer data) {
  const std::unique_ptr<SharedRead> read(static_cast<SharedRead*>(data));
  GdkDrop* drop = GDK_DROP(source);
  GError* error = nullptr;
  platform::Pasteboard pasteboard;
  if (const GValue* value = gdk_drop_read_value_finish(drop, result, &error)) {
    GSList* files = gdk_file_list_get_files(static_cast<GdkFileList*>(g_value_get_boxed(value)));
    for (GSList* file = files; file != nullptr; file = file->next) {
      if (auto url = locationOf(G_FILE(file->data))) pasteboard.add(std::move(*url));
    }
    g_slist_free(files);
  } else {
    g_error_free(error);
  }
  const bool taken = (**read)(pasteboard);
  gdk_drop_finish(drop, taken ? GDK_ACTION_COPY : GdkDragAction{});
}

// A drop of data from the drop signal until its data is written or given up. Then the drop ends
// for the source, on the main thread, whichever thread lets go of it last: the reception may end
// on the source's thread, or never start when the inbox fails.
class DataDrop {
 public:
  DataDrop(GdkDrop* drop, std::string mimeType)
      : drop_(GDK_DROP(g_object_ref(drop))), mimeType_(std::move(mimeType)) {}
  ~DataDrop() {
    onMainThread([drop = drop_, action = written_ ? GDK_ACTION_COPY : GdkDragAction{}] {
      gdk_drop_finish(drop, action);
      g_object_unref(drop);
    });
  }
  DataDrop(const DataDrop&) = delete;
  DataDrop& operator=(const DataDrop&) = delete;

  GdkDrop* drop() const { return drop_; }
  const std::string& mimeType() const { return mimeType_; }
  void setWritten() { written_ = true; }

 private:
  GdkDrop* drop_;
  std::string mimeType_;
  std::atomic<bool> written_{false};
};

// One promised file on its way to disk; lives on the main thread from the request for the data
// to the report. The file is made, filled and, after a failure, removed by GIO's asynchronous
// calls: the main thread never waits for the disk.
struct DataWriting {
  std::shared_ptr<DataDrop> dataDrop;
  platform::Url location;
  platform::FilePromiseReceiver::Reader report;
  GFile* file = nullptr;
  GInputStream* input = nullptr;
  GError* failure = nullptr;  // why the data did not arrive, kept while its file is removed

  ~DataWriting() {
    if (file != nullptr) g_object_unref(file);
    if (input != nullptr) g_object_unref(input);
  }
};

void finishWriting(DataWriting* writing, GError* error) {
  const std::unique_ptr<DataWriting> done(writing);
  std::optional<std::error_code> failure;
  if (error != nullptr) {
    // The toolkit's stream errors carry no errno: the file did not arrive, that is all the
    // reader learns.
    failure = std::make_error_code(std::errc::io_error);
    g_error_free(error);
  } else {
    done->dataDrop->setWritten();
  }
  done->report(done->location, failure);
}

void onPartialRemoved(GObject* source, GAsyncResult* result, gpointer data) {
  auto* writing = static_cast<DataWriting*>(data);
  g_file_delete_finish(G_FILE(source), result, nullptr);
  finishWriting(writing, std::exchange(writing->failure, nullptr));
}

void onSpliced(GObject* source, GAsyncResult* result, gpointer data) {
  auto* writing = static_cast<DataWriting*>(data);
  GError* error = nullptr;
  if (g_output_stream_splice_finish(G_OUTPUT_STREAM(source), result, &error) < 0) {
    // Nothing half written stays behind.
    writing->failure = error;
    g_file_delete_async(writing->file, G_PRIORITY_DEFAULT, nullptr, onPartialRemoved, writing);
    return;
  }
  finishWriting(writing, nullptr);
}

void onCreated(GObject* source, GAsyncResult* result, gpointer data) {
  auto* writing = static_cast<DataWriting*>(data);
  GError* error = nullptr;
  GFileOutputStream* output = g_file_create_finish(G_FILE(source), result, &error);
  if (output == nullptr) {
    finishWriting(writing, error);
    return;
  }
  g_output_stream_splice_async(
      G_OUTPUT_STREAM(output), writing->input,
      static_cast<GOutputStreamSpliceFlags>(G_OUTPUT_STREAM_SPLICE_CLOSE_SOURCE |
                                            G_OUTPUT_STREAM_SPLICE_CLOSE_TARGET),
      G_PRIORITY_DEFAULT, nullptr, onSpliced, writing);
  g_object_unref(output);
}

void onDataStream(GObject* source, GAsyncResult* result, gpointer data) {
  auto* writing = static_cast<DataWriting*>(data);
  GError* error = nullptr;
  writing->input = gdk_drop_read_finish(GDK_DROP(source), result, nullptr, &error);
  if (writing->input == nullptr) {
    finishWriting(writing, error);
    return;
  }
  writing->file = g_file_new_for_path(writing->location.path().c_str());
  // Never replaces a file: the folder is fresh, and a name taken there is a failure.
  g_file_create_async(writing->file, G_FILE_CREATE_NONE, G_PRIORITY_DEFAULT, nullptr, onCreated,
                      writing);
}

// The promise's writer. Runs on a thread of the pasteboard's; the drop belongs to the toolkit,
// so the data is read, and written, on the main thread.
platform::FilePromiseReceiver::Writer dataWriter(std::shared_ptr<DataDrop> dataDrop) {
  return [dataDrop = std::move(dataDrop)](const platform::Url& folder,
                                          platform::FilePromiseReceiver::Reader report) {
    auto* writing =
        new DataWriting{dataDrop, folder.appendingPathComponent(kDataFileName), std::move(report)};
    g_idle_add(
        [](gpointer data) -> gboolean {
          auto* started = static_cast<DataWriting*>(data);
          std::array<const char*, 2> types{started->dataDrop->mimeType().c_str(), nullptr};
          gdk_drop_read_async(started->dataDrop->drop(), types.data(), G_PRIORITY_DEFAULT, nullptr,
                              onDataStream, started);
          return G_SOURCE_REMOVE;
        },
        writing);
  };
}

gboolean onDrop(GtkDropTargetAsync* /*target*/, GdkDrop* drop, double /*x*/, double /*y*/,
                gpointer data) {
  const auto& read = *static_cast<SharedRead*>(data);
  GdkContentFormats* formats = gdk_drop_get_formats(drop);
  if (offersFiles(formats)) {
    gdk_drop_read_value_async(drop, GDK_TYPE_FILE_LIST, G_PRIORITY_DEFAULT, nullptr, onFileList,
                              new SharedRead(read));
    return TRUE;
  }
  const auto mimeType = offeredAudioType(formats);
  if (!mimeType) return FALSE;
  const auto type = audioTypeForMIMEType(*mimeType);
  platform::Pasteboard pasteboard;
  pasteboard.add(std::make_shared<platform::FilePromiseReceiver>(
      std::vector<std::string>{type->identifier()},
      dataWriter(std::make_shared<DataDrop>(drop, *mimeType))));
  // Taken or not, the drop ends once the pasteboard and the writer's copies let go of it.
  (*read)(pasteboard);
  return TRUE;
}

GdkDragAction offerCopy(GtkDropTargetAsync* /*target*/, GdkDrop* /*drop*/, double /*x*/,
                        double /*y*/, gpointer /*data*/) {
  return GDK_ACTION_COPY;
}

}  // namespace

void acceptDrops(GtkWidget* widget, ReadDrop read) {
  GdkContentFormats* formats = acceptedFormats();
  GtkDropTargetAsync* target = gtk_drop_target_async_new(formats, GDK_ACTION_COPY);
  g_signal_connect_data(
      target, "drop", G_CALLBACK(onDrop),
      new SharedRead(std::make_shared<ReadDrop>(std::move(read))),
      [](gpointer data, GClosure* /*closure*/) { delete static_cast<SharedRead*>(data); },
      GConnectFlags{});
  g_signal_connect(target, "drag-enter", G_CALLBACK(offerCopy), nullptr);
  g_signal_connect(target, "drag-motion", G_CALLBACK(offerCopy), nullptr);
  gtk_widget_add_controller(widget, GTK_EVENT_CONTROLLER(target));
}

}  // namespace reference_app
