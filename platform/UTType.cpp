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
};

namespace {

// One type as written in the table: lists are separated by spaces; an empty preferred extension
// marks an abstract type. Where several types claim one extension, the first row wins the
// look-up, so the most specific type comes first.
struct Row {
  std::string_view identifier;
  std::string_view parents;
  std::string_view extensions;
  std::string_view preferredExtension;
};

constexpr std::array kRows = {
    // The abstract hierarchy.
    Row{"public.item", "", "", ""},
    Row{"public.content", "public.item", "", ""},
    Row{"public.composite-content", "public.content", "", ""},
    Row{"public.data", "public.item", "", ""},
    Row{"public.directory", "public.item", "", ""},
    Row{"public.folder", "public.directory", "", ""},
    Row{"public.audiovisual-content", "public.data public.content", "", ""},
    Row{"public.audio", "public.audiovisual-content", "", ""},
    Row{"public.movie", "public.audiovisual-content", "", ""},
    Row{"public.video", "public.movie", "", ""},
    Row{"public.text", "public.data public.content", "", ""},
    Row{"public.image", "public.data public.content", "", ""},
    Row{"public.archive", "public.data", "", ""},
    Row{"public.url", "public.data", "", ""},
    Row{"public.file-url", "public.url", "", ""},

    // Audio.
    Row{"com.apple.m4a-audio", "public.mpeg-4-audio", "m4a", "m4a"},
    Row{"public.mpeg-4-audio", "public.mpeg-4 public.audio", "m4a m4b", "m4a"},
    Row{"com.apple.protected-mpeg-4-audio", "public.audio", "m4p", "m4p"},
    Row{"public.mp3", "public.audio", "mp3", "mp3"},
    Row{"com.microsoft.waveform-audio", "public.audio", "wav wave", "wav"},
    Row{"public.aiff-audio", "public.aifc-audio", "aiff aif", "aiff"},
    Row{"public.aifc-audio", "public.audio", "aifc", "aifc"},
    Row{"com.apple.coreaudio-format", "public.audio", "caf", "caf"},
    Row{"org.xiph.flac", "public.audio", "flac", "flac"},
    Row{"org.xiph.ogg-audio", "public.audio", "ogg oga", "ogg"},
    Row{"org.xiph.vorbis", "org.xiph.ogg-audio", "ogg", "ogg"},
    Row{"org.xiph.opus", "org.xiph.ogg-audio", "opus", "opus"},
    Row{"public.aac-audio", "public.audio", "aac adts", "aac"},
    Row{"org.3gpp.adaptive-multi-rate-audio", "public.audio", "amr", "amr"},
    Row{"com.microsoft.windows-media-wma", "public.audio", "wma", "wma"},
    Row{"public.ac3-audio", "public.audio", "ac3", "ac3"},
    Row{"public.enhanced-ac3-audio", "public.audio", "eac3 ec3", "eac3"},
    Row{"org.matroska.mka", "public.audio", "mka", "mka"},
    Row{"public.midi-audio", "public.audio", "mid midi", "mid"},

    // Video.
    Row{"com.apple.m4v-video", "public.mpeg-4", "m4v", "m4v"},
    Row{"public.mpeg-4", "public.movie", "mp4 mpeg4", "mp4"},
    Row{"com.apple.quicktime-movie", "public.movie", "mov qt", "mov"},
    Row{"public.avi", "public.movie", "avi vfw", "avi"},
    Row{"org.matroska.mkv", "public.movie", "mkv", "mkv"},
    Row{"org.webmproject.webm", "public.movie", "webm", "webm"},
    Row{"public.3gpp", "public.movie", "3gp 3gpp", "3gp"},
    Row{"public.3gpp2", "public.movie", "3g2 3gp2", "3g2"},
    Row{"public.mpeg-2-video", "public.mpeg", "m2v", "m2v"},
    Row{"public.mpeg", "public.movie", "mpg mpeg mpe", "mpg"},
    Row{"public.mpeg-2-transport-stream", "public.movie", "ts mts m2ts", "ts"},
    Row{"com.microsoft.windows-media-wmv", "public.movie", "wmv", "wmv"},
    Row{"com.adobe.flash.video", "public.movie", "flv", "flv"},
    Row{"org.xiph.ogg-video", "public.movie", "ogv", "ogv"},
    Row{"public.dv-movie", "public.movie", "dv dif", "dv"},

    // Text and documents.
    Row{"public.plain-text", "public.text", "txt text", "txt"},
    Row{"public.utf8-plain-text", "public.plain-text", "", ""},
    Row{"public.utf16-plain-text", "public.plain-text", "", ""},
    Row{"net.daringfireball.markdown", "public.plain-text", "md markdown", "md"},
    Row{"public.html", "public.text", "html htm", "html"},
    Row{"public.xml", "public.text", "xml", "xml"},
    Row{"public.json", "public.text", "json", "json"},
    Row{"public.comma-separated-values-text", "public.text", "csv", "csv"},
    Row{"public.rtf", "public.text", "rtf", "rtf"},
    Row{"com.adobe.pdf", "public.data public.composite-content", "pdf", "pdf"},

    // Images.
    Row{"public.jpeg", "public.image", "jpeg jpg jpe", "jpeg"},
    Row{"public.png", "public.image", "png", "png"},
    Row{"com.compuserve.gif", "public.image", "gif", "gif"},
    Row{"public.tiff", "public.image", "tiff tif", "tiff"},
    Row{"public.heic", "public.image", "heic", "heic"},
    Row{"org.webmproject.webp", "public.image", "webp", "webp"},
    Row{"public.svg-image", "public.image", "svg", "svg"},

    // Archives.
    Row{"public.zip-archive", "public.data public.archive", "zip", "zip"},
    Row{"org.gnu.gnu-zip-archive", "public.data public.archive", "gz gzip", "gz"},
    Row{"public.tar-archive", "public.data public.archive", "tar", "tar"},
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

}  // namespace platform
