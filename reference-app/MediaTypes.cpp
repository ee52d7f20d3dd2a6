#include "reference-app/MediaTypes.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/Ascii.hpp"

namespace reference_app {
namespace {

struct MediaType {
  std::string_view mime;
  std::string_view identifier;
};

// Containers first: a source that offers several types usually lists its own first, but when it
// does not, the one that keeps the most (a whole MP4 rather than its audio) wins.
constexpr std::array kMediaTypes{
    MediaType{"video/mp4", "public.mpeg-4"},
    MediaType{"video/quicktime", "com.apple.quicktime-movie"},
    MediaType{"video/x-matroska", "org.matroska.mkv"},
    MediaType{"video/webm", "org.webmproject.webm"},
    MediaType{"video/ogg", "org.xiph.ogg-video"},
    MediaType{"video/mpeg", "public.mpeg"},
    MediaType{"video/x-msvideo", "public.avi"},
    MediaType{"audio/mp4", "public.mpeg-4-audio"},
    MediaType{"audio/x-m4a", "public.mpeg-4-audio"},
    MediaType{"audio/m4a", "public.mpeg-4-audio"},
    MediaType{"audio/mpeg", "public.mp3"},
    MediaType{"audio/wav", "com.microsoft.waveform-audio"},
    MediaType{"audio/x-wav", "com.microsoft.waveform-audio"},
    MediaType{"audio/vnd.wave", "com.microsoft.waveform-audio"},
    MediaType{"audio/flac", "org.xiph.flac"},
    MediaType{"audio/x-flac", "org.xiph.flac"},
    MediaType{"audio/ogg", "org.xiph.ogg-audio"},
    MediaType{"audio/opus", "org.xiph.opus"},
    MediaType{"audio/aac", "public.aac-audio"},
    MediaType{"audio/aiff", "public.aiff-audio"},
    MediaType{"audio/x-aiff", "public.aiff-audio"},
    MediaType{"audio/x-matroska", "org.matroska.mka"},
};

}  // namespace

std::optional<platform::UTType> audioTypeForMIMEType(std::string_view mimeType) {
  // MIME types compare without regard to letter case, and parameters (";codecs=…") do not count.
  const auto bare = mimeType.substr(0, mimeType.find(';'));
  const auto found = std::find_if(kMediaTypes.begin(), kMediaTypes.end(), [&](const MediaType& t) {
    return platform::ascii::equalsIgnoringCase(t.mime, bare);
  });
  if (found == kMediaTypes.end()) return std::nullopt;
  auto type = platform::UTType::withIdentifier(found->identifier);
  if (!type || !type->conforms(platform::UTType::audiovisualContent())) return std::nullopt;
  return type;
}

const std::vector<std::string_view>& audioMIMETypes() {
  static const std::vector<std::string_view> types = [] {
    std::vector<std::string_view> all;
    all.reserve(kMediaTypes.size());
    for (const auto& type : kMediaTypes) all.push_back(type.mime);
    return all;
  }();
  return types;
}

}  // namespace reference_app
