// fileName on any bytes, with and without a type: the result is always a usable file name.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "DidedaZiv/AudioIntake.hpp"

namespace {

using platform::UTType;

// Checked by hand rather than with the library that did the repair.
bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codePoint = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

[[noreturn]] void failed(const char* what, const std::string& name) {
  std::fprintf(stderr, "fileName gave a name that %s: [", what);
  for (const unsigned char c : name) std::fprintf(stderr, "%02X", c);
  std::fprintf(stderr, "]\n");
  std::abort();
}

struct TypeChoice {
  const char* identifier;  // nullptr: no type
  bool audioOrVideo;
};

constexpr TypeChoice typeChoices[] = {
    {nullptr, false},
    {"public.mpeg-4-audio", true},
    {"public.audio", true},  // no preferred extension
    {"com.apple.quicktime-movie", true},
    {"public.plain-text", false},
    {"public.mp3", true},
    {"public.data", false},
    {"org.xiph.opus", true},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  const TypeChoice& choice = typeChoices[selector % std::size(typeChoices)];
  std::optional<UTType> type;
  if (choice.identifier) type = UTType::withIdentifier(choice.identifier).value();
  std::optional<std::string> suggested;
  if ((selector & 0x80) == 0) suggested.emplace(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::string name = DidedaZiv::AudioIntake::fileName(suggested, type);

  if (name.empty()) failed("is empty", name);
  if (name.front() == '.') failed("begins with a full stop", name);
  if (name.find('/') != std::string::npos) failed("holds a slash", name);
  if (name.find(':') != std::string::npos) failed("holds a colon", name);
  if (name.find('\0') != std::string::npos) failed("holds a NUL", name);
  if (!isValidUtf8(name)) failed("is not valid UTF-8", name);
  // A clean name stays as it is, unless a type that is not audio lends it one more extension.
  if ((!type || choice.audioOrVideo) && DidedaZiv::AudioIntake::fileName(name, type) != name) {
    failed("changes when cleaned again", name);
  }
  return 0;
}
