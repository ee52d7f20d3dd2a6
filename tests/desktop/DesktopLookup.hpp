#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace desktop_tests {

inline constexpr const char* shareEntryId = SHARE_ENTRY_ID;

// What a file manager is asked to open: every MIME type of the content-type table's audio and
// video types, and files of the common recording formats by name, whose type GIO guesses as a
// file manager does (MP3, M4A, AAC, WAV, FLAC, Ogg, Opus, AIFF, MP4, QuickTime, Matroska, WebM,
// AVI, 3GPP).
std::vector<std::string> recordingsToAskFor();

// What GIO answered for one thing asked.
struct Recommendation {
  std::string type;              // the content type it settled on
  std::vector<std::string> ids;  // the recommended desktop entries, in GIO's order
  std::string defaultId;         // the entry that opens a local file of the type; "" for none
};

// GIO's recommended applications and default application for each of `asked` (a MIME type, or a
// file name whose type is guessed), with `dataFolder` (…/share) before /usr/share, whose shared
// MIME database knows the aliases, and `programFolder` at the front of PATH, by what was asked.
// `scratch` holds the empty home and configuration folders the look-up gets: never the real home's.
std::map<std::string, Recommendation> recommendedApplications(
    const std::vector<std::string>& asked, const std::filesystem::path& dataFolder,
    const std::filesystem::path& scratch, const std::filesystem::path& programFolder = {});

}  // namespace desktop_tests
