// The Share menu plugin through KF5 Purpose's own loading and matching, as a KDE application
// offers and runs it: which files it is offered for, and a share from the menu to KelpWord.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/E2eFixture.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

const std::string offered = "kelpwordshare\tKelpWord\n";

class PurposePluginTest : public ShareExtensionTest {
 protected:
  void SetUp() override {
    ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists("/usr/share/mime/mime.cache")) {
      GTEST_SKIP() << "the shared MIME database (shared-mime-info) is not installed";
    }
    // Purpose matches MIME types through Qt's MIME database: the machine's, in the test's world.
    fs::create_directory_symlink("/usr/share/mime", folder() / "data-dirs" / "mime");
    addEnvironment("QT_PLUGIN_PATH", PURPOSE_PLUGINS);
    addEnvironment("QT_QPA_PLATFORM", "offscreen");
    addEnvironment("XDG_CONFIG_HOME", (folder() / "config").string());
  }

  // The host's answer for `file` shared as `mimeType`, with `--share ID` when `arguments` say so.
  testing_support::ProcessResult host(const std::string& mimeType, const fs::path& file,
                                      const std::vector<std::string>& arguments = {}) const {
    std::vector<std::string> hostArguments{mimeType, file.string()};
    hostArguments.insert(hostArguments.end(), arguments.begin(), arguments.end());
    return share(hostArguments, "", PURPOSE_HOST);
  }
};

TEST_F(PurposePluginTest, IsOfferedForTheAudioAndVideoTypesOnly) {
  writeFile(folder() / "Interview.mp3", "ID3");
  const struct {
    const char* mimeType;
    bool isOffered;
  } cases[] = {
      {"audio/mpeg", true},
      {"audio/x-wav", true},  // an alias of the database's
                              // audio/vnd.wave
      {"audio/x-vorbis+ogg", true},
      {"video/mp4", true},
      {"video/quicktime", true},
      {"text/plain", false},
      {"image/png", false},
      {"application/pdf", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mimeType);

    const auto result = host(c.mimeType, folder() / "Interview.mp3");

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out.find(offered) != std::string::npos, c.isOffered) << result.out;
  }
}

TEST_F(PurposePluginTest, ItsJobSendsTheFileToKelpWordAndFinishes) {
  makeInbox();
  writeFile(folder() / "Interview.mp3", "ID3 recording");

  const auto result = host("audio/mpeg", folder() / "Interview.mp3", {"--share", "kelpwordshare"});

  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, sending + "finished\n");
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  const fs::path received = folders[0] / "Interview.mp3";
  EXPECT_EQ(readFile(received), "ID3 recording");
  const auto starts = opened();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].files, std::vector<std::string>{received.string()});
}

TEST_F(PurposePluginTest, AShareThatFailsEndsTheJobWithAnError) {
  // No inbox: KelpWord has never been opened, and the share says so and exits 1.
  writeFile(folder() / "Interview.mp3", "ID3 recording");

  const auto result = host("audio/mpeg", folder() / "Interview.mp3", {"--share", "kelpwordshare"});

  EXPECT_EQ(result.exitStatus, 3) << result.err;
  EXPECT_EQ(result.out, sending + openFirst + "error: The recording was not sent to KelpWord.\n");
  EXPECT_FALSE(fs::exists(home() / "Library"));
  EXPECT_FALSE(fs::exists(folder() / "opened.txt"));
}

}  // namespace
}  // namespace e2e
