#pragma once

#include <functional>

#include <gtk/gtk.h>

#include "platform/Pasteboard.hpp"

namespace reference_app {

// What a drop is turned into, and the reader of it: DropPasteboard::read with the inbox and the
// delivery bound. Called on the main thread; true when the drop was taken.
using ReadDrop = std::function<bool(const platform::Pasteboard& pasteboard)>;

// Accepts drops on `widget` and hands each to `read` as a pasteboard:
// - a file list (text/uri-list, or the document portal's types for files from sandboxed
//   applications) becomes the list's locations, in order;
// - otherwise, audio or video data of a known MIME type becomes one file promise of that type,
//   whose writer streams the data into the destination folder as the file "Recording".
// The drop ends, for the drag source, when its files are read or its data is written.
void acceptDrops(GtkWidget* widget, ReadDrop read);

}  // namespace reference_app
