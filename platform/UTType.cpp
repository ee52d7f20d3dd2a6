#include "platform/UTType.hpp"
#include "platform/Ascii.hpp"

#include <array>
#include <stdexcept>
#include <vector>

namespace platform {

struct UTType::Entry {
  std::string identifier;
  std::vector<const Entry*> parents;    // the types this one conforms to directly
  std::vector<std::string> extensions;  // lower case, without the dot
  std::optional<std::string> preferredExtension;
  std::vector<std::string> mimeTypes;  // the preferred one first
};

namespace {

// One type as written in the table: lists are separated by spaces; an empty preferred extension
// marks an abstract type. Where several types claim one extension, the first row wins the
// look-up, so the most specific type comes first.
//
// MIME types: the registered name first where there is one, then the names the desktop's shared
// MIME database gives files of this type (its own name and its aliases), so that a desktop entry
// built from the table matches whatever name a file manager reports.
struct Row {
  std::string_view identifier;
  std::string_view parents;
  std::string_view extensions;
  std::string_view preferredExtension;
  std::string_view mimeTypes;
};

constexpr std::array kRows = {
    // The abstract hierarchy.
    Row{"public.item", "", "", "", ""},
    Row{"public.content", "public.item", "", "", ""},
    Row{"public.composite-content", "public.content", "", "", ""},
    Row{"public.data", "public.item", "", "", ""},
    Row{"public.directory", "public.item", "", "", ""},
    Row{"public.folder", "public.directory", "", "", ""},
    Row{"public.audiovisual-content", "public.data public.content", "", "", ""},
    Row{"public.audio", "public.audiovisual-content", "", "", ""},
    Row{"public.movie", "public.audiovisual-content", "", "", ""},
    Row{"public.video", "public.movie", "", "", ""},
    Row{"public.text", "public.data public.content", "", "", ""},
    Row{"public.image", "public.data public.content", "", "", ""},
    Row{"public.archive", "public.data", "", "", ""},
    Row{"public.url", "public.data", "", "", ""},
    Row{"public.file-url", "public.url", "", "", ""},

    // Audio.
    Row{"com.apple.m4a-audio", "public.mpeg-4-audio", "m4a", "m4a",
        "audio/x-m4a audio/m4a audio/mp4"},
    Row{"public.mpeg-4-audio", "public.mpeg-4 public.audio", "m4a m4b", "m4a",
        "audio/mp4 audio/x-m4a audio/m4a audio/x-m4b"},
    Row{"com.apple.protected-mpeg-4-audio", "public.audio", "m4p", "m4p", ""},
    Row{"public.mp3", "public.audio", "mp3", "mp3",
        "audio/mpeg audio/mp3 audio/x-mp3 audio/x-mpeg audio/x-mpg"},
    Row{"com.microsoft.waveform-audio", "public.audio", "wav wave", "wav",
        "audio/vnd.wave audio/wav audio/x-wav"},
    Row{"public.aiff-audio", "public.aifc-audio", "aiff aif", "aiff", "audio/aiff audio/x-aiff"},
    Row{"public.aifc-audio", "public.audio", "aifc", "aifc", "audio/x-aifc audio/x-aiffc"},
    Row{"com.apple.coreaudio-format", "public.audio", "caf", "caf", "audio/x-caf"},
    Row{"org.xiph.flac", "public.audio", "flac", "flac", "audio/flac audio/x-flac"},
    Row{"org.xiph.ogg-audio", "public.audio", "ogg oga", "ogg",
        "audio/ogg audio/x-ogg audio/x-flac+ogg audio/x-oggflac audio/x-speex+ogg"},
    Row{"org.xiph.vorbis", "org.xiph.ogg-audio", "ogg", "ogg",
        "audio/vorbis audio/x-vorbis+ogg audio/x-vorbis"},
    Row{"org.xiph.opus", "org.xiph.ogg-audio", "opus", "opus", "audio/opus audio/x-opus+ogg"},
    Row{"public.aac-audio", "public.audio", "aac adts", "aac", "audio/aac audio/x-aac"},
    Row{"org.3gpp.adaptive-multi-rate-audio", "public.audio", "amr", "amr", "audio/AMR"},
    Row{"com.microsoft.windows-media-wma", "public.audio", "wma", "wma",
        "audio/x-ms-wma audio/wma"},
    Row{"public.ac3-audio", "public.audio", "ac3", "ac3", "audio/ac3"},
    Row{"public.enhanced-ac3-audio", "public.audio", "eac3 ec3", "eac3", "audio/eac3"},
    Row{"org.matroska.mka", "public.audio", "mka", "mka", "audio/matroska audio/x-matroska"},
    Row{"public.midi-audio", "public.audio", "mid midi", "mid", "audio/midi audio/x-midi"},

    // Video.
    Row{"com.apple.m4v-video", "public.mpeg-4", "m4v", "m4v", "video/x-m4v video/mp4"},
    Row{"public.mpeg-4", "public.movie", "mp4 mpeg4", "mp4", "video/mp4 video/mp4v-es video/x-m4v"},
    Row{"com.apple.quicktime-movie", "public.movie", "mov qt", "mov", "video/quicktime"},
    Row{"public.avi", "public.movie", "avi vfw", "avi",
        "video/vnd.avi video/x-msvideo video/avi video/msvideo video/x-avi"},
    Row{"org.matroska.mkv", "public.movie", "mkv", "mkv", "video/matroska video/x-matroska"},
    Row{"org.webmproject.webm", "public.movie", "webm", "webm", "video/webm"},
    Row{"public.3gpp", "public.movie", "3gp 3gpp", "3gp", "video/3gpp audio/3gpp video/3gp"},
    Row{"public.3gpp2", "public.movie", "3g2 3gp2", "3g2", "video/3gpp2 audio/3gpp2"},
    Row{"public.mpeg-2-video", "public.mpeg", "m2v", "m2v", ""},
    Row{"public.mpeg", "public.movie", "mpg mpeg mpe", "mpg",
        "video/mpeg video/x-mpeg video/mpeg-system video/x-mpeg-system video/x-mpeg2"},
    Row{"public.mpeg-2-transport-stream", "public.movie", "ts mts m2ts", "ts", "video/mp2t"},
    Row{"com.microsoft.windows-media-wmv", "public.movie", "wmv", "wmv", "video/x-ms-wmv"},
    Row{"com.adobe.flash.video", "public.movie", "flv", "flv", "video/x-flv video/flv"},
    Row{"org.xiph.ogg-video", "public.movie", "ogv", "ogv",
        "video/ogg video/x-ogg video/x-theora+ogg video/x-theora"},
    Row{"public.dv-movie", "public.movie", "dv dif", "dv", "video/dv"},

    // Text and documents.
    Row{"public.plain-text", "public.text", "txt text", "txt", "text/plain"},
    Row{"public.utf8-plain-text", "public.plain-text", "", "", ""},
    Row{"public.utf16-plain-text", "public.plain-text", "", "", ""},
    Row{"net.daringfireball.markdown", "public.plain-text", "md markdown", "md",
        "text/markdown text/x-markdown"},
    Row{"public.html", "public.text", "html htm", "html", "text/html"},
    Row{"public.xml", "public.text", "xml", "xml", "application/xml text/xml"},
    Row{"public.json", "public.text", "json", "json", "application/json"},
    Row{"public.comma-separated-values-text", "public.text", "csv", "csv", "text/csv"},
    Row{"public.rtf", "public.text", "rtf", "rtf", "application/rtf text/rtf"},
    Row{"com.adobe.pdf", "public.data public.composite-content", "pdf", "pdf", "application/pdf"},

    // Images.
    Row{"public.jpeg", "public.image", "jpeg jpg jpe", "jpeg", "image/jpeg"},
    Row{"public.png", "public.image", "png", "png", "image/png"},
    Row{"com.compuserve.gif", "public.image", "gif", "gif", "image/gif"},
    Row{"public.tiff", "public.image", "tiff tif", "tiff", "image/tiff"},
    Row{"public.heic", "public.image", "heic", "heic", "image/heic"},
    Row{"org.webmproject.webp", "public.image", "webp", "webp", "image/webp"},
    Row{"public.svg-image", "public.image", "svg", "svg", "image/svg+xml"},

    // Archives.
    Row{"public.zip-archive", "public.data public.archive", "zip", "zip", "application/zip"},
    Row{"org.gnu.gnu-zip-archive", "public.data public.archive", "gz gzip", "gz",
        "application/gzip"},
    Row{"public.tar-archive", "public.data public.archive", "tar", "tar", "application/x-tar"},
};

using ascii::equalsIgnoringCase;

std::vector<std::string_view> words(std::string_view list) {
  std::vector<std::string_view> result;
  while (!list.empty()) {
    const std::size_t space = list.find(' ');
    const std::string_view word = list.substr(0, space);
    if (!word.empty()) result.push_back(word);
    if (space == std::string_view::npos) break;
    list.remove_prefix(space + 1);
  }
  return result;
}

// Identifiers are matched without regard to letter case, as type identifiers are.
const UTType::Entry* findEntry(const std::vector<UTType::Entry>& entries,
                               std::string_view identifier) {
  for (const auto& entry : entries) {
    if (equalsIgnoringCase(entry.identifier, identifier)) return &entry;
  }
  return nullptr;
}

std::vector<UTType::Entry> buildEntries() {
  std::vector<UTType::Entry> entries(kRows.size());
  for (std::size_t i = 0; i < kRows.size(); ++i) {
    const Row& row = kRows[i];
    entries[i].identifier = row.identifier;
    for (const auto extension : words(row.extensions))
      entries[i].extensions.emplace_back(extension);
    if (!row.preferredExtension.empty()) entries[i].preferredExtension = row.preferredExtension;
    for (const auto mimeType : words(row.mimeTypes)) entries[i].mimeTypes.emplace_back(mimeType);
  }
  // Parents point into `entries`, which keeps its size from here on.
  for (std::size_t i = 0; i < kRows.size(); ++i) {
    for (const auto parent : words(kRows[i].parents)) {
      const UTType::Entry* found = findEntry(entries, parent);
      if (found == nullptr) {
        throw std::logic_error("content type table: unknown parent " + std::string(parent));
      }
      entries[i].parents.push_back(found);
    }
  }
  return entries;
}

const std::vector<UTType::Entry>& table() {
  static const std::vector<UTType::Entry> entries = buildEntries();
  return entries;
}

// "audio/ogg; codecs=opus" names the type audio/ogg.
std::string_view withoutParameters(std::string_view mimeType) {
  mimeType = mimeType.substr(0, mimeType.find(';'));
  while (!mimeType.empty() && (mimeType.back() == ' ' || mimeType.back() == '\t')) {
    mimeType.remove_suffix(1);
  }
  return mimeType;
}

bool descends(const UTType::Entry* entry, const UTType::Entry* ancestor) {
  if (entry == ancestor) return true;
  for (const auto* parent : entry->parents) {
    if (descends(parent, ancestor)) return true;
  }
  return false;
}

}  // namespace

std::optional<UTType> UTType::withIdentifier(std::string_view identifier) {
  const Entry* entry = findEntry(table(), identifier);
  if (entry == nullptr) return std::nullopt;
  return UTType(entry);
}

std::optional<UTType> UTType::forFilenameExtension(std::string_view extension,
                                                   const UTType& conformingTo) {
  if (extension.empty()) return std::nullopt;
  for (const auto& entry : table()) {
    for (const auto& known : entry.extensions) {
      if (equalsIgnoringCase(known, extension) && descends(&entry, conformingTo.entry_)) {
        return UTType(&entry);
      }
    }
  }
  return std::nullopt;
}

std::optional<UTType> UTType::forMIMEType(std::string_view mimeType, const UTType& conformingTo) {
  const std::string_view bare = withoutParameters(mimeType);
  if (bare.empty()) return std::nullopt;
  const Entry* alias = nullptr;
  for (const auto& entry : table()) {
    if (!descends(&entry, conformingTo.entry_)) continue;
    for (std::size_t i = 0; i < entry.mimeTypes.size(); ++i) {
      if (!equalsIgnoringCase(entry.mimeTypes[i], bare)) continue;
      if (i == 0) return UTType(&entry);
      if (alias == nullptr) alias = &entry;
    }
  }
  if (alias == nullptr) return std::nullopt;
  return UTType(alias);
}

std::vector<UTType> UTType::allTypes() {
  std::vector<UTType> types;
  for (const auto& entry : table()) types.push_back(UTType(&entry));
  return types;
}

const UTType& UTType::audiovisualContent() {
  static const UTType type = withIdentifier("public.audiovisual-content").value();
  return type;
}

const UTType& UTType::data() {
  static const UTType type = withIdentifier("public.data").value();
  return type;
}

const UTType& UTType::fileURL() {
  static const UTType type = withIdentifier("public.file-url").value();
  return type;
}

const std::string& UTType::identifier() const { return entry_->identifier; }

bool UTType::conforms(const UTType& to) const { return descends(entry_, to.entry_); }

std::optional<std::string> UTType::preferredFilenameExtension() const {
  return entry_->preferredExtension;
}

const std::vector<std::string>& UTType::mimeTypes() const { return entry_->mimeTypes; }

std::optional<std::string> UTType::preferredMIMEType() const {
  if (entry_->mimeTypes.empty()) return std::nullopt;
  return entry_->mimeTypes.front();
}

}  // namespace platform
