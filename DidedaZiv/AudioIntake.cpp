// Outcomes, messages, the inbox and per-share folders.
#include "DidedaZiv/AudioIntake.hpp"

#include "platform/FileManager.hpp"
#include "platform/Unicode.hpp"
#include "platform/UserDatabase.hpp"
#include "platform/Uuid.hpp"

namespace DidedaZiv::AudioIntake {

Outcome Outcome::file(platform::Url url) { return Outcome(std::move(url)); }

Outcome Outcome::problem(std::string message) { return Outcome(std::move(message)); }

const platform::Url* Outcome::fileURL() const noexcept {
  return std::get_if<platform::Url>(&value_);
}

const std::string* Outcome::problemMessage() const noexcept {
  return std::get_if<std::string>(&value_);
}

bool operator==(const Outcome& a, const Outcome& b) {
  if (const auto* url = a.fileURL()) {
    return b.fileURL() != nullptr && *url == *b.fileURL();
  }
  return b.problemMessage() != nullptr &&
         platform::unicode::canonicallyEqual(*a.problemMessage(), *b.problemMessage());
}

std::optional<std::string> shareProblem(const platform::Url& receivedFolder) {
  bool isDirectory = false;
  if (platform::fileManager::fileExists(receivedFolder, &isDirectory) && isDirectory) {
    return std::nullopt;
  }
  return std::string(openKelpWordFirstMessage);
}

platform::Url realHome() { return platform::userDatabase::homeFolderOfCurrentUser(); }

platform::Url receivedFolder(const platform::Url& home) {
  return home.appendingPathComponent(
      "Library/Application Support/com.brenvik.kelpword/Received Files",
      /*isDirectory=*/true);
}

platform::Url newFolder(const platform::Url& in) {
  auto folder = in.appendingPathComponent(platform::newUuidString(), /*isDirectory=*/true);
  platform::fileManager::createDirectory(folder, /*withIntermediateDirectories=*/true);
  return folder;
}

}  // namespace DidedaZiv::AudioIntake
