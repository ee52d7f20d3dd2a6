// The share extension's desktop entry as a user's desktop meets it after `cmake --install`: valid
// by the Desktop Entry rules, and offered by GIO (which GIO-based file managers ask for "Open
// With") for every recording type, never for other files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/desktop/DesktopLookup.hpp"
#include "tests/desktop/InstalledShareTest.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"

namespace desktop_tests {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::run;

bool recommendsShare(const Recommendation& recommendation) {
  return std::find(recommendation.ids.begin(), recommendation.ids.end(), shareEntryId) !=
         recommendation.ids.end();
}

class DesktopEntryTest : public InstalledShareTest {
 protected:
  fs::path entry() const { return prefix() / "share/applications" / shareEntryId; }
};

TEST_F(DesktopEntryTest, NamesTheInstalledProgramAndPassesValidation) {
  const std::string text = readFile(entry());
  EXPECT_NE(text.find("\nExec=\"" + (prefix() / "bin/kelpword-share").string() + "\" %F\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("audio/*"), std::string::npos) << "GIO matches no wildcard: " << text;
  // File managers show "Open With KelpWord", and pass the share a startup id or activation token.
  for (const char* line : {"\nName=KelpWord\n", "\nStartupNotify=true\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
  }

  const auto validation = run({"desktop-file-validate", entry().string()});
  if (validation.exitStatus == 127) GTEST_SKIP() << "desktop-file-validate is not installed";
  EXPECT_EQ(validation.exitStatus, 0) << validation.out << validation.err;
  EXPECT_EQ(validation.out + validation.err, "") << "no warnings or hints either";
}

TEST_F(DesktopEntryTest, GIORecommendsTheShareForEveryRecordingTypeAndNothingElse) {
  const auto database =
      run({"update-desktop-database", (prefix() / "share/applications").string()});
  if (database.exitStatus == 127) GTEST_SKIP() << "update-desktop-database is not installed";
  ASSERT_EQ(database.exitStatus, 0) << database.err;
  EXPECT_NE(readFile(prefix() / "share/applications/mimeinfo.cache").find(shareEntryId),
            std::string::npos);

  const auto asked = recordingsToAskFor();
  const auto recommended = recommendedApplications(asked, prefix() / "share", temp_ / "scratch");
  for (const auto& what : asked) {
    SCOPED_TRACE(what);
    ASSERT_EQ(recommended.count(what), 1u);
    const auto& answer = recommended.at(what);
    EXPECT_TRUE(answer.type.starts_with("audio/") || answer.type.starts_with("video/"))
        << answer.type;
    EXPECT_TRUE(recommendsShare(answer)) << "for " << answer.type;
  }

  const std::vector<std::string> others = {"text/plain", "image/png", "application/pdf",
                                           "notes.txt", "inode/directory"};
  const auto otherAnswers = recommendedApplications(others, prefix() / "share", temp_ / "scratch");
  for (const auto& what : others) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(recommendsShare(otherAnswers.at(what)));
  }
}

}  // namespace
}  // namespace desktop_tests
