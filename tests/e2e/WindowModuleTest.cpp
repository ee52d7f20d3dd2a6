// The window renderer is a module that kelpword-share loads only where a display is named: a share
// without one, or where the module is missing (as where GTK is not installed), shows the text
// sheet and never loads the window toolkit. Nor does a share without a session bus load GIO,
// which only a hand-off over the bus needs, nor a share of an ASCII name ICU.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/e2e/E2eFixture.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::writeFile;

TEST_F(ShareExtensionTest, ASheetOutsideAWindowLoadsNothingOfTheWindowToolkit) {
  struct Case {
    const char* what;
    bool besideItsModule;  // false: a copy of the program alone, as without GTK
    const char* display;   // nullptr: none named
  };
  const Case cases[] = {
      {"no display named", true, nullptr},
      {"a display named, the module missing", false, ":4711"},
  };
  makeInbox();
  writeFile(folder() / "Interview.m4a", "recording");
  makeBundle(folder() / "Carrier.app", "com.brenvik.kelpword");
  const fs::path alone = placeExtension(folder() / "Carrier.app");

  for (const Case& sample : cases) {
    SCOPED_TRACE(sample.what);
    testing_support::ProcessOptions options;
    options.environment = environment();
    // The dynamic loader names every library it opens on standard error.
    options.environment.emplace_back("LD_DEBUG", "files");
    options.unsetEnvironment = {"WAYLAND_DISPLAY", "DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                                "XDG_RUNTIME_DIR"};
    if (sample.display != nullptr) options.environment.emplace_back("DISPLAY", sample.display);
    const std::string program = sample.besideItsModule ? KELPWORD_SHARE : alone.string();

    const auto result =
        testing_support::run({program, (folder() / "Interview.m4a").string()}, options);

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, sending);
    EXPECT_NE(result.err.find("libc.so"), std::string::npos) << "no loader trace";
    EXPECT_EQ(result.err.find("libgtk"), std::string::npos);
    EXPECT_EQ(result.err.find("kelpword-window-sheet"), std::string::npos);
    EXPECT_EQ(result.err.find("libgio"), std::string::npos);
    EXPECT_EQ(result.err.find("libicu"), std::string::npos) << "ICU loaded for an ASCII name";
    opened();
  }
}

}  // namespace
}  // namespace e2e
