#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"

namespace e2e {

// What the stand-in KelpWord recorded for one start: its own program and its arguments.
struct Opened {
  std::string program;
  std::vector<std::string> files;
};

// A world of the test's making: a home read through nss_wrapper (never the real one), empty
// application folders, and a record that stand-in KelpWords write into.
class ShareExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override;

  std::filesystem::path home() const { return folder_ / "home"; }
  std::filesystem::path inbox() const;
  void makeInbox() const;
  // The per-share folders in the inbox.
  std::vector<std::filesystem::path> shareFolders() const;
  // $XDG_DATA_HOME/applications, empty until a test puts an entry there.
  std::filesystem::path applications() const { return folder_ / "data-home" / "applications"; }

  // A bundle at `at` (…/Name.app) with the identifier and a copy of `program` as its executable.
  void makeBundle(const std::filesystem::path& at, const std::string& identifier,
                  const std::filesystem::path& program = KELPWORD_STAND_IN) const;
  // A copy of kelpword-share at at/Contents/PlugIns/KelpWordShare.appex/Contents/MacOS/.
  std::filesystem::path placeExtension(const std::filesystem::path& at) const;

  // Runs `program` with `arguments` as a user would, in the test's world.
  testing_support::ProcessResult share(const std::vector<std::string>& arguments,
                                       const std::string& input = "",
                                       const std::filesystem::path& program = KELPWORD_SHARE) const;
  // What stand-ins recorded, waiting up to a few seconds for `count` starts; then waits until
  // they have ended, so that none is taken for a running KelpWord later.
  std::vector<Opened> opened(std::size_t count = 1) const;
  // The environment every run gets on top of the test's own: no session bus unless a test adds
  // one with addEnvironment().
  std::vector<std::pair<std::string, std::string>> environment() const;
  // Sets `name` to `value` in environment() from now on.
  void addEnvironment(std::string name, std::string value) {
    addedEnvironment_.emplace_back(std::move(name), std::move(value));
  }

  const std::filesystem::path& folder() const { return folder_; }

 private:
  testing_support::TempFolder temp_;
  std::filesystem::path folder_ = temp_.path();
  std::vector<std::pair<std::string, std::string>> addedEnvironment_;
};

// What the text sheet prints: the status, then one of the messages of a failed share.
inline const std::string sending = "Sending to KelpWord\u2026\n";
inline const std::string openFirst =
    "Open KelpWord once first, so it can receive recordings. Then share the recording again.\n";
inline const std::string notAudio =
    "KelpWord can only turn audio and video into text, and what you dropped isn\u2019t either. "
    "Drop a recording or an audio file.\n";
inline const std::string handOffFailed =
    "KelpWord didn\u2019t open. Open KelpWord, then drop the recording on the Files tab.\n";

}  // namespace e2e
