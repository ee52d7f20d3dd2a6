#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/Unicode.hpp"

namespace {

using DidedaZiv::AudioIntake::audioType;
using DidedaZiv::AudioIntake::fileName;
using platform::UTType;

UTType typeNamed(const char* identifier) { return UTType::withIdentifier(identifier).value(); }

std::string shown(const std::optional<std::string>& text) {
  return text ? "\"" + *text + "\"" : std::string("none");
}

TEST(AudioType, TakesTheFirstAudioOrVideoIdentifierInTheSourcesOrder) {
  struct Case {
    std::vector<std::string> identifiers;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {{"public.plain-text", "public.mpeg-4-audio", "com.apple.quicktime-movie"},
       "public.mpeg-4-audio"},
      {{"com.apple.quicktime-movie", "public.mpeg-4-audio"}, "com.apple.quicktime-movie"},
      {{"no.such.type", "public.mp3"}, "public.mp3"},
      {{"public.audio"}, "public.audio"},
      {{"public.jpeg", "public.plain-text", "public.file-url", "public.data"}, std::nullopt},
      {{"no.such.type", "", "public.mp3.extra"}, std::nullopt},
      {{"public.audiovisual-content"}, "public.audiovisual-content"},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.identifiers));
    const auto type = audioType(c.identifiers);
    EXPECT_EQ(type ? std::optional(type->identifier()) : std::nullopt, c.expected);
  }
}

TEST(FileName, GivesTheReceivedNameForEachSuggestion) {
  struct NameCase {
    std::optional<std::string> suggested;
    std::string withM4aType;
    std::string withoutType;
  };
  // The received name for each suggestion, with an MPEG-4 audio type and with no type.
  const NameCase nameCases[] = {
      {std::nullopt, "Recording.m4a", "Recording"},
      {"", "Recording.m4a", "Recording"},
      {"  \n\t ", "Recording.m4a", "Recording"},
      {".m4a", "Recording.m4a", "Recording.m4a"},
      {" Interview\n", "Interview.m4a", "Interview"},
      {"Interview", "Interview.m4a", "Interview"},
      {"Interview.mp3", "Interview.mp3", "Interview.mp3"},
      {"Interview.MP3", "Interview.MP3", "Interview.MP3"},
      {"Clip.mov", "Clip.mov", "Clip.mov"},
      {"Notes.txt", "Notes.txt.m4a", "Notes.txt"},
      {"Call 10:30/Monday", "Call 10-30-Monday.m4a", "Call 10-30-Monday"},
      {"Talk.part", "Talk.part.m4a", "Talk.part"},
      {"Talk.", "Talk..m4a", "Talk."},
      {"a.b.m4a", "a.b.m4a", "a.b.m4a"},
      {".hidden", "Recording.hidden.m4a", "Recording.hidden"},
      {"..", "Recording...m4a", "Recording.."},
      {"/etc/passwd", "-etc-passwd.m4a", "-etc-passwd"},
      {"../../escape.m4a", "Recording..-..-escape.m4a", "Recording..-..-escape.m4a"},
      {" .m4a", "Recording.m4a", "Recording.m4a"},
      {"My  talk \t notes", "My  talk \t notes.m4a", "My  talk \t notes"},
  };
  const UTType m4a = typeNamed("public.mpeg-4-audio");
  const UTType abstractAudio = typeNamed("public.audio");  // has no preferred extension
  for (const auto& c : nameCases) {
    SCOPED_TRACE(shown(c.suggested));
    EXPECT_EQ(fileName(c.suggested, m4a), c.withM4aType);
    EXPECT_EQ(fileName(c.suggested, std::nullopt), c.withoutType);
    EXPECT_EQ(fileName(c.suggested, abstractAudio), c.withoutType);
  }
}

TEST(FileName, LendsTheExtensionOfWhateverTypeIsGiven) {
  // The type is not checked for audio: a caller's text type still names the file.
  EXPECT_EQ(fileName("Notes", typeNamed("public.plain-text")), "Notes.txt");
  EXPECT_EQ(fileName("Notes.zip", typeNamed("public.mp3")), "Notes.zip.mp3");
  // An audio extension in the name wins over the type's own.
  EXPECT_EQ(fileName("Interview.wav", typeNamed("public.mp3")), "Interview.wav");
}

TEST(FileName, TrimsUnicodeWhiteSpaceAndLineBreaksAtTheEndsOnly) {
  struct Case {
    std::string suggested;
    std::string expected;
  };
  const Case cases[] = {
      {"\u00A0\u2028\u2029\u3000\u0085\u2003\v\f\r", "Recording.m4a"},
      {"\u3000Interview\u2029", "Interview.m4a"},
      {"\u0085Inter\u00A0view\u00A0", "Inter\u00A0view.m4a"},
      {"\u200BZero width\u200B", "\u200BZero width\u200B.m4a"},  // not white space
  };
  const UTType m4a = typeNamed("public.mpeg-4-audio");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suggested);
    EXPECT_EQ(fileName(c.suggested, m4a), c.expected);
  }
}

TEST(FileName, ReplacesWhatAFileNameCannotHoldAndRepairsBrokenText) {
  using namespace std::string_literals;
  struct Case {
    std::string suggested;
    std::string expected;
  };
  const Case cases[] = {
      {"a/b:c", "a-b-c.m4a"},
      {"/", "-.m4a"},
      {":", "-.m4a"},
      {"Take\0One"s, "Take-One.m4a"},
      {"\0"s, "-.m4a"},
      {"\0.m4a"s, "-.m4a"},
      {"Inter\xFFview", "Inter\uFFFDview.m4a"},
      {"\xC3", "\uFFFD.m4a"},                          // cut in the middle of a character
      {"Caf\xC3\xA9.m4a", "Caf\u00E9.m4a"},            // valid text stays as it is
      {"\xED\xA0\x80.mp3", "\uFFFD\uFFFD\uFFFD.mp3"},  // a surrogate, which UTF-8 may not hold
      {"\xEF\xBF\xBD", "\uFFFD.m4a"},
  };
  const UTType m4a = typeNamed("public.mpeg-4-audio");
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.suggested));
    const std::string name = fileName(c.suggested, m4a);
    EXPECT_EQ(name, c.expected);
    EXPECT_EQ(platform::unicode::repairingUtf8(name), name);
  }
}

}  // namespace
