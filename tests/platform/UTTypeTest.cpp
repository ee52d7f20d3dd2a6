#include "platform/UTType.hpp"

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

using platform::UTType;

UTType type(std::string_view identifier) {
  const auto found = UTType::withIdentifier(identifier);
  if (!found) throw std::invalid_argument("no content type " + std::string(identifier));
  return *found;
}

// Types that sources report for recordings, with the extension each should give a file.
struct MediaCase {
  std::string_view identifier;
  std::string_view preferredExtension;
  std::string_view preferredMIMEType;
};

constexpr MediaCase kAudio[] = {
    {"public.mpeg-4-audio", "m4a", "audio/mp4"},
    {"com.apple.m4a-audio", "m4a", "audio/x-m4a"},
    {"public.mp3", "mp3", "audio/mpeg"},
    {"com.microsoft.waveform-audio", "wav", "audio/vnd.wave"},
    {"public.aiff-audio", "aiff", "audio/aiff"},
    {"public.aifc-audio", "aifc", "audio/x-aifc"},
    {"com.apple.coreaudio-format", "caf", "audio/x-caf"},
    {"org.xiph.flac", "flac", "audio/flac"},
    {"org.xiph.ogg-audio", "ogg", "audio/ogg"},
    {"org.xiph.vorbis", "ogg", "audio/vorbis"},
    {"org.xiph.opus", "opus", "audio/opus"},
    {"public.aac-audio", "aac", "audio/aac"},
    {"org.3gpp.adaptive-multi-rate-audio", "amr", "audio/AMR"},
    {"com.microsoft.windows-media-wma", "wma", "audio/x-ms-wma"},
};

constexpr MediaCase kVideo[] = {
    {"public.mpeg-4", "mp4", "video/mp4"},
    {"com.apple.quicktime-movie", "mov", "video/quicktime"},
    {"com.apple.m4v-video", "m4v", "video/x-m4v"},
    {"public.avi", "avi", "video/vnd.avi"},
    {"org.matroska.mkv", "mkv", "video/matroska"},
    {"org.webmproject.webm", "webm", "video/webm"},
    {"public.3gpp", "3gp", "video/3gpp"},
    {"public.3gpp2", "3g2", "video/3gpp2"},
    {"public.mpeg", "mpg", "video/mpeg"},
    {"public.mpeg-2-transport-stream", "ts", "video/mp2t"},
};

constexpr MediaCase kOtherConcrete[] = {
    {"public.plain-text", "txt", "text/plain"},
    {"com.adobe.pdf", "pdf", "application/pdf"},
    {"public.html", "html", "text/html"},
    {"public.json", "json", "application/json"},
    {"public.jpeg", "jpeg", "image/jpeg"},
    {"public.png", "png", "image/png"},
    {"public.zip-archive", "zip", "application/zip"},
};

const std::span<const MediaCase> kAudiovisual[] = {kAudio, kVideo};
const std::span<const MediaCase> kConcrete[] = {kAudio, kVideo, kOtherConcrete};

TEST(UTTypeTest, AudioAndVideoTypesAreAudiovisualWithTheirExtension) {
  for (const auto group : kAudiovisual) {
    for (const auto& c : group) {
      SCOPED_TRACE(c.identifier);
      const UTType media = type(c.identifier);
      EXPECT_EQ(media.identifier(), c.identifier);
      EXPECT_TRUE(media.conforms(UTType::audiovisualContent()));
      EXPECT_TRUE(media.conforms(UTType::data()));
      EXPECT_TRUE(media.conforms(type("public.content")));
      EXPECT_TRUE(media.conforms(type("public.item")));
      EXPECT_EQ(media.preferredFilenameExtension(), c.preferredExtension);
      EXPECT_EQ(media.preferredMIMEType(), c.preferredMIMEType);
    }
  }
  for (const auto& c : kAudio) {
    SCOPED_TRACE(c.identifier);
    EXPECT_TRUE(type(c.identifier).conforms(type("public.audio")));
  }
  for (const auto& c : kVideo) {
    SCOPED_TRACE(c.identifier);
    EXPECT_TRUE(type(c.identifier).conforms(type("public.movie")));
    EXPECT_FALSE(type(c.identifier).conforms(type("public.audio")));
  }
}

TEST(UTTypeTest, OtherConcreteTypesAreNotAudiovisual) {
  for (const auto& c : kOtherConcrete) {
    SCOPED_TRACE(c.identifier);
    const UTType other = type(c.identifier);
    EXPECT_FALSE(other.conforms(UTType::audiovisualContent()));
    EXPECT_TRUE(other.conforms(UTType::data()));
    EXPECT_EQ(other.preferredFilenameExtension(), c.preferredExtension);
    EXPECT_EQ(other.preferredMIMEType(), c.preferredMIMEType);
  }
}

// A preferred extension must lead back to a type of the same kind, or a received file would be
// named into another kind by its own extension.
TEST(UTTypeTest, PreferredExtensionLeadsBackToTheSameKind) {
  for (const auto group : kConcrete) {
    for (const auto& c : group) {
      SCOPED_TRACE(c.identifier);
      const UTType original = type(c.identifier);
      const auto found = UTType::forFilenameExtension(c.preferredExtension, UTType::data());
      ASSERT_TRUE(found.has_value());
      EXPECT_TRUE(original.conforms(*found) || found->conforms(original)) << found->identifier();
      EXPECT_EQ(found->conforms(UTType::audiovisualContent()),
                original.conforms(UTType::audiovisualContent()));
    }
  }
}

TEST(UTTypeTest, AbstractTypesHaveNoPreferredExtension) {
  const std::string abstract[] = {
      "public.item",  "public.content",  "public.data",  "public.audiovisual-content",
      "public.audio", "public.movie",    "public.video", "public.text",
      "public.url",   "public.file-url", "public.image", "public.archive",
  };
  for (const auto& identifier : abstract) {
    SCOPED_TRACE(identifier);
    EXPECT_EQ(type(identifier).preferredFilenameExtension(), std::nullopt);
    EXPECT_EQ(type(identifier).preferredMIMEType(), std::nullopt);
    EXPECT_TRUE(type(identifier).mimeTypes().empty());
  }
}

TEST(UTTypeTest, Conformance) {
  struct Case {
    std::string type;
    std::string to;
    bool conforms;
  };
  const Case cases[] = {
      {"public.mp3", "public.mp3", true},
      {"public.audio", "public.audiovisual-content", true},
      {"public.movie", "public.audiovisual-content", true},
      {"public.video", "public.movie", true},
      {"public.audiovisual-content", "public.audio", false},
      {"public.audio", "public.movie", false},
      {"public.mp3", "public.movie", false},
      {"public.file-url", "public.url", true},
      {"public.url", "public.file-url", false},
      {"public.file-url", "public.audiovisual-content", false},
      {"public.plain-text", "public.text", true},
      {"public.utf8-plain-text", "public.plain-text", true},
      {"public.utf8-plain-text", "public.audiovisual-content", false},
      {"public.html", "public.plain-text", false},
      {"public.json", "public.text", true},
      {"com.adobe.pdf", "public.content", true},
      {"com.adobe.pdf", "public.text", false},
      {"public.jpeg", "public.image", true},
      {"public.png", "public.audiovisual-content", false},
      {"public.zip-archive", "public.archive", true},
      {"public.data", "public.content", false},
      {"public.item", "public.data", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type + " -> " + c.to);
    EXPECT_EQ(type(c.type).conforms(type(c.to)), c.conforms);
  }
}

TEST(UTTypeTest, ExtensionLookupIgnoresCaseAndStaysAmongConformingTypes) {
  struct Case {
    std::string extension;
    std::string conformingTo;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"m4a", "public.data", "com.apple.m4a-audio"},
      {"M4A", "public.data", "com.apple.m4a-audio"},
      {"Mp3", "public.data", "public.mp3"},
      {"WAV", "public.data", "com.microsoft.waveform-audio"},
      {"aif", "public.data", "public.aiff-audio"},
      {"caf", "public.data", "com.apple.coreaudio-format"},
      {"flac", "public.data", "org.xiph.flac"},
      {"ogg", "public.data", "org.xiph.ogg-audio"},
      {"opus", "public.data", "org.xiph.opus"},
      {"aac", "public.data", "public.aac-audio"},
      {"amr", "public.data", "org.3gpp.adaptive-multi-rate-audio"},
      {"wma", "public.data", "com.microsoft.windows-media-wma"},
      {"mp4", "public.data", "public.mpeg-4"},
      {"MOV", "public.data", "com.apple.quicktime-movie"},
      {"m4v", "public.data", "com.apple.m4v-video"},
      {"avi", "public.data", "public.avi"},
      {"mkv", "public.data", "org.matroska.mkv"},
      {"webm", "public.data", "org.webmproject.webm"},
      {"3gp", "public.data", "public.3gpp"},
      {"3g2", "public.data", "public.3gpp2"},
      {"mpeg", "public.data", "public.mpeg"},
      {"m2ts", "public.data", "public.mpeg-2-transport-stream"},
      {"txt", "public.data", "public.plain-text"},
      {"pdf", "public.data", "com.adobe.pdf"},
      {"htm", "public.data", "public.html"},
      {"json", "public.data", "public.json"},
      {"JPG", "public.data", "public.jpeg"},
      {"png", "public.data", "public.png"},
      {"zip", "public.data", "public.zip-archive"},
      {"m4a", "public.audio", "com.apple.m4a-audio"},
      {"txt", "public.audiovisual-content", std::nullopt},
      {"mp4", "public.audio", std::nullopt},
      {"part", "public.data", std::nullopt},
      {"", "public.data", std::nullopt},
      {".m4a", "public.data", std::nullopt},
      {"m4a ", "public.data", std::nullopt},
      {"m4", "public.data", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extension + " among " + c.conformingTo);
    const auto found = UTType::forFilenameExtension(c.extension, type(c.conformingTo));
    ASSERT_EQ(found.has_value(), c.expected.has_value());
    if (found) {
      EXPECT_EQ(found->identifier(), *c.expected);
    }
  }
}

TEST(UTTypeTest, MIMETypeLookupKnowsAliasesAndStaysAmongConformingTypes) {
  struct Case {
    std::string mimeType;
    std::string conformingTo;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      // The names the shared MIME database gives, and its aliases.
      {"audio/mpeg", "public.data", "public.mp3"},
      {"audio/x-mp3", "public.data", "public.mp3"},
      {"audio/mp4", "public.data", "public.mpeg-4-audio"},
      {"audio/x-m4a", "public.data", "com.apple.m4a-audio"},
      {"audio/x-wav", "public.data", "com.microsoft.waveform-audio"},
      {"audio/vnd.wave", "public.data", "com.microsoft.waveform-audio"},
      {"audio/flac", "public.data", "org.xiph.flac"},
      {"audio/x-flac", "public.data", "org.xiph.flac"},
      {"audio/x-opus+ogg", "public.data", "org.xiph.opus"},
      {"audio/x-vorbis+ogg", "public.data", "org.xiph.vorbis"},
      {"audio/x-aiff", "public.data", "public.aiff-audio"},
      {"audio/amr", "public.data", "org.3gpp.adaptive-multi-rate-audio"},
      {"video/mp4", "public.data", "public.mpeg-4"},
      {"video/x-m4v", "public.data", "com.apple.m4v-video"},
      {"video/x-msvideo", "public.data", "public.avi"},
      {"video/x-matroska", "public.data", "org.matroska.mkv"},
      {"audio/x-matroska", "public.data", "org.matroska.mka"},
      {"audio/3gpp", "public.data", "public.3gpp"},
      {"text/plain", "public.data", "public.plain-text"},
      // Letter case and parameters do not matter.
      {"Audio/MPEG", "public.data", "public.mp3"},
      {"audio/ogg; codecs=opus", "public.data", "org.xiph.ogg-audio"},
      {"audio/ogg ;codecs=vorbis", "public.data", "org.xiph.ogg-audio"},
      // Only among the types asked for.
      {"audio/mpeg", "public.audio", "public.mp3"},
      {"audio/mpeg", "public.movie", std::nullopt},
      {"text/plain", "public.audiovisual-content", std::nullopt},
      // Not a type of the table.
      {"audio/*", "public.data", std::nullopt},
      {"audio", "public.data", std::nullopt},
      {"audio/", "public.data", std::nullopt},
      {"", "public.data", std::nullopt},
      {";codecs=opus", "public.data", std::nullopt},
      {" audio/mpeg", "public.data", std::nullopt},
      {"public.mp3", "public.data", std::nullopt},
      {"application/octet-stream", "public.data", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mimeType + " among " + c.conformingTo);
    const auto found = UTType::forMIMEType(c.mimeType, type(c.conformingTo));
    ASSERT_EQ(found.has_value(), c.expected.has_value());
    if (found) {
      EXPECT_EQ(found->identifier(), *c.expected);
    }
  }
}

// Every MIME type in the table must lead back: a preferred one to its own type, any other to a
// type of the same kind, or a recording offered by MIME type would be taken for something else.
TEST(UTTypeTest, EveryMIMETypeLeadsBackToItsKind) {
  const UTType audio = type("public.audio");
  const UTType movie = type("public.movie");
  for (const auto& original : UTType::allTypes()) {
    for (const auto& mimeType : original.mimeTypes()) {
      SCOPED_TRACE(original.identifier() + " " + mimeType);
      const auto found = UTType::forMIMEType(mimeType);
      ASSERT_TRUE(found.has_value());
      if (mimeType == original.preferredMIMEType()) {
        EXPECT_EQ(*found, original) << found->identifier();
      }
      EXPECT_EQ(found->conforms(audio), original.conforms(audio)) << found->identifier();
      EXPECT_EQ(found->conforms(movie), original.conforms(movie)) << found->identifier();
      EXPECT_EQ(found->conforms(UTType::audiovisualContent()),
                original.conforms(UTType::audiovisualContent()));
    }
  }
}

TEST(UTTypeTest, UnknownIdentifierMakesNoType) {
  for (const std::string identifier :
       {"", "public.nonexistent", "m4a", "public.mp3 ", "public", "dyn.ah62d4rv4ge80"}) {
    SCOPED_TRACE(identifier);
    EXPECT_EQ(UTType::withIdentifier(identifier), std::nullopt);
  }
}

TEST(UTTypeTest, IdentifiersMatchWithoutRegardToCase) {
  const auto found = UTType::withIdentifier("Public.MP3");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->identifier(), "public.mp3");
  EXPECT_EQ(*found, type("public.mp3"));
}

TEST(UTTypeTest, BuiltInTypesAndEquality) {
  EXPECT_EQ(UTType::audiovisualContent().identifier(), "public.audiovisual-content");
  EXPECT_EQ(UTType::data().identifier(), "public.data");
  EXPECT_EQ(UTType::fileURL().identifier(), "public.file-url");
  EXPECT_EQ(UTType::data(), type("public.data"));
  EXPECT_FALSE(type("public.mpeg-4-audio") == type("com.apple.m4a-audio"));
}

}  // namespace
