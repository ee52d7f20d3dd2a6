// The Debian packages that CPack makes from this build: what each holds, what it depends on, and
// an unpacked kelpword-share offered by GIO for recordings, as it will be once installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/desktop/DesktopLookup.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"

namespace desktop_tests {
namespace {

namespace fs = std::filesystem;
using testing_support::run;

// The packages are made once for all tests of the suite: CPack installs, strips and compresses.
class PackageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    packages_ = std::make_unique<testing_support::TempFolder>();
    testing_support::ProcessOptions options;
    options.timeout = std::chrono::seconds(500);
    // gzip rather than xz: the test reads the packages, it does not ship them.
    made_ = run(
        {CPACK_COMMAND, "-G", "DEB", "--config", std::string(BUILD_FOLDER) + "/CPackConfig.cmake",
         "-B", packages_->path().string(), "-D", "CPACK_DEBIAN_COMPRESSION_TYPE=gzip"},
        options);
  }
  static void TearDownTestSuite() { packages_.reset(); }

  void SetUp() override {
    if (run({"dpkg-deb", "--version"}).exitStatus == 127) GTEST_SKIP() << "dpkg-deb is missing";
    ASSERT_EQ(made_.exitStatus, 0) << made_.out << made_.err;
  }

  // The package file whose name starts with `name` and an underscore.
  static fs::path package(const std::string& name) {
    for (const auto& entry : fs::directory_iterator(packages_->path())) {
      const std::string file = entry.path().filename().string();
      if (file.starts_with(name + "_") && file.ends_with(".deb")) return entry.path();
    }
    ADD_FAILURE() << "no package " << name << " in " << made_.out;
    return {};
  }

  // The paths a package holds, "usr/bin/kelpword-share" and so on, folders included.
  static std::vector<std::string> contents(const fs::path& deb) {
    const auto listing = run({"dpkg-deb", "--fsys-tarfile", deb.string()});
    std::vector<std::string> paths;
    const auto names = run({"tar", "-t", "-f", "-"}, {.input = listing.out});
    std::istringstream lines(names.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("./")) line.erase(0, 2);
      if (line.ends_with("/")) line.pop_back();
      if (!line.empty()) paths.push_back(line);
    }
    return paths;
  }

  static std::string field(const fs::path& deb, const std::string& name) {
    return run({"dpkg-deb", "--field", deb.string(), name}).out;
  }

  static std::unique_ptr<testing_support::TempFolder> packages_;
  static testing_support::ProcessResult made_;
};

std::unique_ptr<testing_support::TempFolder> PackageTest::packages_;
testing_support::ProcessResult PackageTest::made_;

// Whether a Depends field names ICU's run-time library of some version ("libicu72").
bool dependsOnIcuLibrary(const std::string& depends) {
  std::istringstream entries(depends);
  for (std::string entry; std::getline(entries, entry, ',');) {
    entry.erase(0, entry.find_first_not_of(' '));
    const std::string name = entry.substr(0, entry.find_first_of(" \n"));
    if (name.starts_with("libicu") && name.size() > 6 &&
        name.find_first_not_of("0123456789", 6) == std::string::npos) {
      return true;
    }
  }
  return false;
}

bool holdsUnder(const std::vector<std::string>& paths, const std::string& folder) {
  return std::any_of(paths.begin(), paths.end(),
                     [&](const std::string& path) { return path.starts_with(folder); });
}

TEST_F(PackageTest, EachPackageHoldsItsOwnFilesAndNoOther) {
  const auto share = contents(package("kelpword-share"));
  const auto dev = contents(package("libdidedaziv-dev"));
  struct Case {
    const std::vector<std::string>& paths;
    std::string path;
    bool held;
  };
  const Case cases[] = {
      {share, "usr/bin/kelpword-share", true},
      {share, std::string("usr/share/applications/") + shareEntryId, true},
      {share, "usr/share/man/man1/kelpword-share.1.gz", true},
      {share, "usr/share/doc/kelpword-share/copyright", true},
      {share, "usr/share/doc/kelpword-share/changelog.gz", true},
      {share, "usr/share/applications/mimeinfo.cache", false},  // the trigger's, on the system
      {share, "usr/include", false},
      {dev, "usr/include/didedaziv/DidedaZiv/AudioIntake.hpp", true},
      {dev, "usr/include/didedaziv/DidedaZiv/DropPasteboard.hpp", true},
      {dev, "usr/include/didedaziv/platform/Url.hpp", true},
      {dev, "usr/include/didedaziv/platform/UTType.hpp", true},
      {dev, "usr/include/didedaziv/platform/app", false},
      {dev, "usr/include/platform", false},
      {dev, "usr/include/DidedaZiv", false},
      {dev, "usr/share/doc/libdidedaziv-dev/copyright", true},
      {dev, "usr/share/doc/libdidedaziv-dev/changelog.gz", true},
      {dev, "usr/bin", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(holdsUnder(c.paths, c.path), c.held);
  }
  // Under usr/lib the program keeps only its window sheet's module, in a folder of its own.
  const auto isModulePart = [](const std::string& path) {
    const std::string module = "/kelpword-share/kelpword-window-sheet.so";
    return path.ends_with(module) || path.ends_with("/kelpword-share") ||
           std::count(path.begin(), path.end(), '/') < 3;
  };
  for (const auto& path : share) {
    if (path.starts_with("usr/lib")) {
      EXPECT_TRUE(isModulePart(path)) << path;
    }
  }
#ifdef KELPWORD_WINDOW_SHEET
  EXPECT_TRUE(std::any_of(share.begin(), share.end(), [](const std::string& path) {
    return path.starts_with("usr/lib/") &&
           path.ends_with("/kelpword-share/kelpword-window-sheet.so");
  }));
#endif
  for (const std::string library : {"libDidedaZiv.a", "libkelpword_platform.a",
                                    "DidedaZivConfig.cmake", "DidedaZivTargets.cmake"}) {
    SCOPED_TRACE(library);
    EXPECT_TRUE(std::any_of(dev.begin(), dev.end(), [&](const std::string& path) {
      return path.starts_with("usr/lib/") && path.ends_with("/" + library);
    }));
  }
}

TEST_F(PackageTest, DependenciesComeFromTheLibrariesLinked) {
  const std::string shareDepends = field(package("kelpword-share"), "Depends");
  for (const char* library : {"libc6", "libuuid1"}) {
    EXPECT_NE(shareDepends.find(library), std::string::npos) << shareDepends;
  }
  // ICU is loaded at run time, out of dpkg-shlibdeps' sight: the build names its library's
  // package, of the version built with.
  EXPECT_TRUE(dependsOnIcuLibrary(shareDepends)) << shareDepends;
  const std::string devDepends = field(package("libdidedaziv-dev"), "Depends");
  for (const char* package : {"uuid-dev", "libasio-dev"}) {
    EXPECT_NE(devDepends.find(package), std::string::npos) << devDepends;
  }
  EXPECT_TRUE(dependsOnIcuLibrary(devDepends)) << devDepends;
}

TEST_F(PackageTest, UnpackedShareIsRecommendedForEveryRecordingType) {
  testing_support::TempFolder unpacked;
  const auto extracted =
      run({"dpkg-deb", "-x", package("kelpword-share").string(), (unpacked / "root").string()});
  ASSERT_EQ(extracted.exitStatus, 0) << extracted.err;
  const fs::path usr = unpacked / "root/usr";
  // Installed, the program lies in /usr/bin, on every user's PATH, and the entry names it so.
  EXPECT_NE(testing_support::readFile(usr / "share/applications" / shareEntryId)
                .find("\nExec=kelpword-share %F\n"),
            std::string::npos);
  ASSERT_EQ(run({"update-desktop-database", (usr / "share/applications").string()}).exitStatus, 0);

  const auto asked = recordingsToAskFor();
  const auto recommended =
      recommendedApplications(asked, usr / "share", unpacked / "scratch", usr / "bin");
  for (const auto& what : asked) {
    SCOPED_TRACE(what);
    const auto& ids = recommended.at(what).ids;
    EXPECT_NE(std::find(ids.begin(), ids.end(), shareEntryId), ids.end());
  }
}

}  // namespace
}  // namespace desktop_tests
