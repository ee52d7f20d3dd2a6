// The share extension's desktop entry beside a player's, with no default application chosen:
// opening a recording plays it, as GIO (file managers, `gio open`) and xdg-mime (`xdg-open` outside
// a known desktop) choose, while the share stays offered under "Open With".
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/desktop/DesktopLookup.hpp"
#include "tests/desktop/InstalledShareTest.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"

namespace desktop_tests {
namespace {

namespace fs = std::filesystem;
using testing_support::run;

constexpr std::array<const char*, 2> playedTypes = {"audio/mp4", "audio/mpeg"};
// What the player's entry lists: the types and, as players do, some of their aliases.
constexpr const char* playerMimeTypes = "audio/mp4;audio/x-m4a;audio/mpeg;audio/mp3;audio/x-mpeg;";

class DefaultApplicationTest : public InstalledShareTest {
 protected:
  fs::path applications() const { return prefix() / "share/applications"; }

  // A player's entry beside the share's, for the played types, and the folder's cache made as
  // the desktop-file-utils trigger makes it on an installed system.
  void installPlayer(const std::string& id) const {
    testing_support::writeFile(applications() / id,
                               "[Desktop Entry]\nType=Application\nName=Player\nExec=true %U\n"
                               "MimeType=" +
                                   std::string(playerMimeTypes) + "\n");
    const auto database = run({"update-desktop-database", applications().string()});
    ASSERT_EQ(database.exitStatus, 0) << database.err;
  }

  // What `xdg-mime query default TYPE` answers outside a known desktop, with folders of the
  // test's own and no defaults list; exit status 127 when xdg-mime is not installed.
  testing_support::ProcessResult xdgMimeDefault(const std::string& type) const {
    fs::create_directories(temp_ / "scratch/config-home");
    fs::create_directories(temp_ / "scratch/data-home");
    testing_support::ProcessOptions options;
    options.environment = {
        {"HOME", (temp_ / "scratch").string()},
        {"XDG_CONFIG_HOME", (temp_ / "scratch/config-home").string()},
        {"XDG_CONFIG_DIRS", (temp_ / "scratch/config-home").string()},
        {"XDG_DATA_HOME", (temp_ / "scratch/data-home").string()},
        {"XDG_DATA_DIRS", (prefix() / "share").string() + ":/usr/share"},
        // xdg-mime asks the session bus whether GNOME runs: never the machine's.
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (temp_ / "no-bus").string()},
    };
    options.unsetEnvironment = {"XDG_CURRENT_DESKTOP",
                                "DESKTOP_SESSION",
                                "KDE_FULL_SESSION",
                                "GNOME_DESKTOP_SESSION_ID",
                                "MATE_DESKTOP_SESSION_ID",
                                "XDG_MENU_PREFIX",
                                "DISPLAY",
                                "WAYLAND_DISPLAY"};
    return run({"xdg-mime", "query", "default", type}, options);
  }
};

TEST_F(DefaultApplicationTest, AnInstalledPlayerOpensRecordingsAndTheShareIsStillOffered) {
  if (run({"update-desktop-database", "--help"}).exitStatus == 127) {
    GTEST_SKIP() << "update-desktop-database is not installed";
  }
  // Players' ids as they come: reverse-DNS names and plain lower-case ones, early and late in
  // the alphabet.
  const std::string players[] = {"com.example.Player.desktop", "org.example.Player.desktop",
                                 "io.example.player.desktop", "player.desktop", "xplayer.desktop"};
  for (const auto& player : players) {
    SCOPED_TRACE(player);
    fs::remove_all(temp_ / "scratch");
    for (const auto& other : players) fs::remove(applications() / other);
    installPlayer(player);

    const auto answers = recommendedApplications({playedTypes.begin(), playedTypes.end()},
                                                 prefix() / "share", temp_ / "scratch");
    for (const auto& type : playedTypes) {
      SCOPED_TRACE(type);
      const auto& answer = answers.at(std::string(type));
      EXPECT_EQ(answer.defaultId, player) << "GIO's default";
      const auto& ids = answer.ids;
      const auto share = std::find(ids.begin(), ids.end(), shareEntryId);
      EXPECT_NE(share, ids.end()) << "GIO recommends the share";
      EXPECT_LT(std::find(ids.begin(), ids.end(), player), share) << "the player first";

      const auto xdgMime = xdgMimeDefault(type);
      if (xdgMime.exitStatus == 127) continue;  // the GIO half still counts
      EXPECT_EQ(xdgMime.exitStatus, 0) << xdgMime.err;
      EXPECT_EQ(xdgMime.out, player + "\n") << "xdg-mime's default";
    }
  }
  if (xdgMimeDefault("audio/mpeg").exitStatus == 127) {
    GTEST_SKIP() << "xdg-mime is not installed (Debian: xdg-utils); GIO's half passed";
  }
}

}  // namespace
}  // namespace desktop_tests
