// The Debian packages that CPack makes from this build: what each holds, what it depends on, and
// an unpacked kelpword-share as it will be once installed: offered by GIO for recordings, needing
// no GTK unless its window package is there too.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "DidedaZiv/AudioIntake.hpp"
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

// Runs the program unpacked in `root` with no items, as a launcher would with a display named
// (an X display that does not answer) and no terminal, in a world of the test's own: a user
// database whose home has no inbox, no session bus. The loader reports each library it loads.
testing_support::ProcessResult shareUnpacked(const fs::path& root, const fs::path& scratch) {
  fs::create_directories(scratch / "home");
  testing_support::writeFile(scratch / "passwd", "sharer:x:" + std::to_string(::getuid()) + ":" +
                                                     std::to_string(::getgid()) + ":Sharer:" +
                                                     (scratch / "home").string() + ":/bin/sh\n");
  testing_support::writeFile(scratch / "group", "");
  testing_support::ProcessOptions options;
  options.environment = testing_support::nssWrapperEnvironment((scratch / "passwd").string(),
                                                               (scratch / "group").string());
  options.environment.insert(options.environment.end(),
                             {{"HOME", (scratch / "not-the-home").string()},
                              {"TMPDIR", scratch.string()},
                              {"XDG_DATA_HOME", (scratch / "data-home").string()},
                              {"XDG_DATA_DIRS", (scratch / "data-dirs").string()},
                              {"DBUS_SESSION_BUS_ADDRESS", ""},
                              {"XDG_RUNTIME_DIR", (scratch / "runtime").string()},
                              {"DISPLAY", ":97"},
                              {"LD_DEBUG", "files"}});
  options.unsetEnvironment = {"WAYLAND_DISPLAY"};
  return run({(root / "usr/bin/kelpword-share").string()}, options);
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
      {share, "usr/lib", false},  // the window plugin is a package of its own
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
  for (const std::string library : {"libDidedaZiv.a", "libkelpword_platform.a",
                                    "DidedaZivConfig.cmake", "DidedaZivTargets.cmake"}) {
    SCOPED_TRACE(library);
    EXPECT_TRUE(std::any_of(dev.begin(), dev.end(), [&](const std::string& path) {
      return path.starts_with("usr/lib/") && path.ends_with("/" + library);
    }));
  }
}

TEST_F(PackageTest, WindowPackageHoldsTheModuleAndItsDocumentsOnly) {
#ifndef KELPWORD_WINDOW_SHEET
  GTEST_SKIP() << "built without GTK 4: no window plugin to package";
#endif
  const auto window = contents(package("kelpword-share-window"));
  for (const char* path : {"usr/share/doc/kelpword-share-window/copyright",
                           "usr/share/doc/kelpword-share-window/changelog.gz"}) {
    EXPECT_TRUE(holdsUnder(window, path)) << path;
  }
  EXPECT_TRUE(std::any_of(window.begin(), window.end(), [](const std::string& path) {
    return path.starts_with("usr/lib/") &&
           path.ends_with("/kelpword-share/kelpword-window-sheet.so");
  }));
  // Under usr/lib nothing but the plugin, in a folder of the program's own.
  for (const auto& path : window) {
    if (path.starts_with("usr/share/doc/kelpword-share-window") || path == "usr" ||
        path == "usr/share" || path == "usr/share/doc") {
      continue;
    }
    const bool modulePart =
        path.starts_with("usr/lib") &&
        (path.ends_with("/kelpword-share/kelpword-window-sheet.so") ||
         path.ends_with("/kelpword-share") || std::count(path.begin(), path.end(), '/') < 3);
    EXPECT_TRUE(modulePart) << path;
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

// The program runs without a display, so it installs without GTK: the toolkit and GLib (GIO is
// loaded only for a hand-off over the session bus) are the window package's to bring.
TEST_F(PackageTest, ShareInstallsWithoutGtkAndTheWindowPackageBringsIt) {
  const fs::path share = package("kelpword-share");
  const std::vector<std::string> notNeeded = {"libgtk",     "libglib",  "libgio",
                                              "libgobject", "libcairo", "libpango"};
  testing_support::TempFolder unpacked;
  ASSERT_EQ(run({"dpkg-deb", "-x", share.string(), unpacked.path().string()}).exitStatus, 0);
  const auto libraries = run({"ldd", (unpacked / "usr/bin/kelpword-share").string()});
  ASSERT_EQ(libraries.exitStatus, 0) << libraries.err;
  const std::string depends = field(share, "Depends");
  for (const auto& library : notNeeded) {
    SCOPED_TRACE(library);
    EXPECT_EQ(depends.find(library), std::string::npos) << depends;
    EXPECT_EQ(libraries.out.find(library), std::string::npos) << libraries.out;
  }
#ifdef KELPWORD_WINDOW_SHEET
  EXPECT_EQ(field(share, "Recommends"), "kelpword-share-window\n");
  const fs::path window = package("kelpword-share-window");
  const std::string windowDepends = field(window, "Depends");
  EXPECT_NE(windowDepends.find("libgtk-4-1"), std::string::npos) << windowDepends;
  // Built together: the program checks the plugin's interface version, and uses none of another.
  std::string version = field(share, "Version");
  version.pop_back();
  EXPECT_NE(windowDepends.find("kelpword-share (= " + version + ")"), std::string::npos)
      << windowDepends;
#endif
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

TEST_F(PackageTest, UnpackedWithoutTheWindowPackageTheSheetIsPrinted) {
  if (testing_support::nssWrapperLibrary().empty()) GTEST_SKIP() << "nss_wrapper is not installed";
  testing_support::TempFolder unpacked;
  ASSERT_EQ(
      run({"dpkg-deb", "-x", package("kelpword-share").string(), (unpacked / "root").string()})
          .exitStatus,
      0);
  const auto shared = shareUnpacked(unpacked / "root", unpacked / "scratch");
  // The inbox is missing: the message, then the end of input presses Close.
  EXPECT_EQ(shared.exitStatus, 1) << shared.err;
  EXPECT_NE(shared.out.find(DidedaZiv::AudioIntake::openKelpWordFirstMessage), std::string::npos)
      << shared.out;
  EXPECT_EQ(shared.err.find("kelpword-window-sheet.so"), std::string::npos) << shared.err;
  EXPECT_EQ(shared.err.find("libgtk"), std::string::npos) << "GTK never loaded";
}

TEST_F(PackageTest, UnpackedWithTheWindowPackageTheProgramLoadsItsModule) {
#ifndef KELPWORD_WINDOW_SHEET
  GTEST_SKIP() << "built without GTK 4: no window plugin to package";
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Trying the display, the toolkit reaches nss_wrapper's own look-up of the C library, which
  // AddressSanitizer ends (RTLD_DEEPBIND) and ThreadSanitizer reports.
  GTEST_SKIP() << "nss_wrapper and a display cannot meet under the sanitizers";
#endif
  if (testing_support::nssWrapperLibrary().empty()) GTEST_SKIP() << "nss_wrapper is not installed";
  testing_support::TempFolder unpacked;
  for (const char* name : {"kelpword-share", "kelpword-share-window"}) {
    ASSERT_EQ(
        run({"dpkg-deb", "-x", package(name).string(), (unpacked / "root").string()}).exitStatus,
        0);
  }
  const auto shared = shareUnpacked(unpacked / "root", unpacked / "scratch");
  // Loaded from the window package's place; the display does not answer, so the sheet is
  // printed all the same.
  const auto loaded = shared.err.find("kelpword-window-sheet.so [0];  dynamically loaded");
  ASSERT_NE(loaded, std::string::npos) << shared.err;
  const auto from = shared.err.rfind("file=", loaded) + 5;
  const fs::path module = shared.err.substr(from, shared.err.find(' ', from) - from);
  const std::string installed = fs::weakly_canonical(module).string();
  EXPECT_TRUE(installed.starts_with((unpacked / "root/usr/lib/").string())) << installed;
  EXPECT_TRUE(installed.ends_with("/kelpword-share/kelpword-window-sheet.so")) << installed;
  EXPECT_EQ(shared.exitStatus, 1) << shared.err;
  EXPECT_NE(shared.out.find(DidedaZiv::AudioIntake::openKelpWordFirstMessage), std::string::npos)
      << shared.out;
}

}  // namespace
}  // namespace desktop_tests
