// What a received recording is, what it is called, and where its copy goes.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include "DidedaZiv/AudioIntake.hpp"
#include "DidedaZiv/NameNumbers.hpp"
#include "platform/FileManager.hpp"
#include "platform/Unicode.hpp"

namespace DidedaZiv::AudioIntake {
namespace {

using platform::UTType;

// NAME_MAX of the common Linux file systems: the longest file name, in bytes.
constexpr std::size_t maxNameBytes = 255;

bool isAudioOrVideo(const UTType& type) { return type.conforms(UTType::audiovisualContent()); }

std::string replacingAll(std::string text, char what, char with) {
  for (char& c : text) {
    if (c == what) c = with;
  }
  return text;
}

// The text after the last "." of a one-component name, by the platform's path rules.
std::string extensionOf(const std::string& name) {
  return platform::Url::fileURL("/" + name, false).pathExtension();
}

struct SplitName {
  std::string stem;
  std::string extension;  // without its "."; empty when the name has none
};

SplitName split(const std::string& name) {
  std::string extension = extensionOf(name);
  // "Talk." has an empty extension after its last full stop; the stem goes without that stop.
  // A name that begins with its only full stop keeps it, as the platform splits such names.
  if (extension.empty() && name.size() > 1 && name.ends_with('.')) {
    return {name.substr(0, name.size() - 1), ""};
  }
  if (extension.empty()) return {name, ""};
  return {name.substr(0, name.size() - extension.size() - 1), std::move(extension)};
}

// The longest start of `text` within `maxBytes` that cuts no character (nor, for text that is
// not valid UTF-8, any byte sequence) in two.
std::string shortened(const std::string& text, std::size_t maxBytes) {
  std::size_t keep = 0;
  if (platform::unicode::repairingUtf8(text) == text) {
    keep = platform::unicode::prefixLengthAtCharacterBoundary(text, maxBytes);
  }
  if (keep == 0) {
    // One character longer than the whole room (a letter under hundreds of marks): cut between
    // code points rather than leave no stem.
    keep = std::min(maxBytes, text.size());
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  }
  return text.substr(0, keep);
}

// The candidate name with `number` (none for the first), its stem shortened when the whole would
// be too long for a file name. Names that fit are left as they are.
std::string candidateName(const SplitName& name, std::uint64_t number) {
  std::string suffix = number == 0 ? "" : " " + std::to_string(number);
  if (!name.extension.empty()) suffix += "." + name.extension;
  if (name.stem.size() + suffix.size() <= maxNameBytes) return name.stem + suffix;
  if (suffix.size() >= maxNameBytes) {
    // An "extension" this long is no extension: shorten the name as a whole.
    return candidateName(SplitName{name.stem + "." + name.extension, ""}, number);
  }
  return shortened(name.stem, maxNameBytes - suffix.size()) + suffix;
}

bool isOneComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

}  // namespace

std::optional<UTType> audioType(const std::vector<std::string>& identifiers) {
  for (const auto& identifier : identifiers) {
    const auto type = UTType::withIdentifier(identifier);
    if (type && isAudioOrVideo(*type)) return type;
  }
  return std::nullopt;
}

std::string fileName(const std::optional<std::string>& suggested,
                     const std::optional<UTType>& type) {
  std::string name = platform::unicode::trimmingWhitespaceAndNewlines(
      platform::unicode::repairingUtf8(suggested.value_or("")));
  name = replacingAll(std::move(name), '/', '-');
  name = replacingAll(std::move(name), ':', '-');
  // A Linux file name cannot hold a NUL, and C strings would silently end the name there.
  name = replacingAll(std::move(name), '\0', '-');
  if (name.empty() || name.starts_with('.')) name = "Recording" + name;

  const std::string extension = extensionOf(name);
  if (!extension.empty()) {
    const auto named = UTType::forFilenameExtension(extension, UTType::data());
    if (named && isAudioOrVideo(*named)) return name;
  }
  if (type) {
    if (const auto preferred = type->preferredFilenameExtension()) return name + "." + *preferred;
  }
  return name;
}

platform::Url copyIn(const platform::Url& source, const platform::Url& to,
                     const std::string& name) {
  NameNumbers numbers;
  return copyIn(source, to, name, numbers);
}

platform::Url copyIn(const platform::Url& source, const platform::Url& to, const std::string& name,
                     NameNumbers& numbers) {
  // Anything else would land outside `to`, or nowhere.
  if (!isOneComponent(name)) {
    throw std::system_error(EINVAL, std::generic_category(), "not a file name: " + name);
  }
  platform::fileManager::createDirectory(to, /*withIntermediateDirectories=*/true);

  bool sourceIsFolder = false;
  platform::fileManager::fileExists(source, &sourceIsFolder);

  const SplitName parts = split(name);
  // The name itself comes first, whatever its split ("Talk." before "Talk 2").
  const auto candidateFor = [&](std::uint64_t number) {
    const bool itself = number == 1 && name.size() <= maxNameBytes;
    return to.appendingPathComponent(itself ? name : candidateName(parts, number == 1 ? 0 : number),
                                     sourceIsFolder);
  };
  std::uint64_t number = numbers.firstToTry(to, name);
  platform::Url candidate = candidateFor(number);
  // The first name tried is nearly always free, and copyItem refuses a taken name before it
  // copies anything: no separate look. A name found taken, also one taken while the copy ran,
  // moves on to the next free number. A dangling link counts as taken: the copy could not take
  // its name without replacing it.
  for (;;) {
    try {
      platform::fileManager::copyItem(source, candidate);
      numbers.took(to, name, number);
      return candidate;
    } catch (const std::system_error& error) {
      if (error.code() != std::errc::file_exists || !platform::fileManager::itemExists(candidate)) {
        throw;
      }
    }
    do {
      candidate = candidateFor(++number);
    } while (platform::fileManager::itemExists(candidate));
  }
}

}  // namespace DidedaZiv::AudioIntake
