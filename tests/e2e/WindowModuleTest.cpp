// The window renderer is a plugin that kelpword-share loads only where a display is named: a share
// without one, where the plugin is missing (as where GTK is not installed) or where it serves
// another version of its interface, shows the text sheet and never loads the window toolkit. Nor
// does a share without a session bus load GIO, which only a hand-off over the bus needs, nor a
// share of an ASCII name ICU.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "tests/e2e/E2eFixture.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::writeFile;

TEST_F(ShareExtensionTest, ASheetOutsideAWindowLoadsNothingOfTheWindowToolkit) {
  struct Case {
    const char* what;
    const char* besideIt;  // "": the program's own plugin; nullptr: none, as without GTK
    const char* display;   // nullptr: none named
  };
  const Case cases[] = {
      {"no display named", "", nullptr},
      {"a display named, the plugin missing", nullptr, ":4711"},
      {"a display named, the plugin of another version", OTHER_VERSION_WINDOW_SHEET, ":4711"},
  };
  makeInbox();
  writeFile(folder() / "Interview.m4a", "recording");
  makeBundle(folder() / "Carrier.app", "com.brenvik.kelpword");
  const fs::path alone = placeExtension(folder() / "Carrier.app");
  const fs::path plugin = alone.parent_path() / "kelpword-window-sheet.so";

  for (const Case& sample : cases) {
    SCOPED_TRACE(sample.what);
    testing_support::ProcessOptions options;
    options.environment = environment();
    // The dynamic loader names every library it opens on standard error.
    options.environment.emplace_back("LD_DEBUG", "files");
    // Unset after the environment is set: DISPLAY is unset only where no display is named.
    options.unsetEnvironment = {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"};
    if (sample.display != nullptr) {
      options.environment.emplace_back("DISPLAY", sample.display);
    } else {
      options.unsetEnvironment.emplace_back("DISPLAY");
    }
    fs::remove(plugin);
    if (sample.besideIt != nullptr && *sample.besideIt != '\0')
      fs::copy_file(sample.besideIt, plugin);
    const std::string program =
        sample.besideIt != nullptr && *sample.besideIt == '\0' ? KELPWORD_SHARE : alone.string();

    const auto result =
        testing_support::run({program, (folder() / "Interview.m4a").string()}, options);

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, sending);
    EXPECT_NE(result.err.find("libc.so"), std::string::npos) << "no loader trace";
    EXPECT_EQ(result.err.find("libgtk"), std::string::npos);
    EXPECT_EQ(result.err.find("kelpword-window-sheet") != std::string::npos,
              fs::exists(plugin) && sample.display != nullptr)
        << "the plugin is looked at only where a display is named";
    EXPECT_EQ(result.err.find("libgio"), std::string::npos);
    EXPECT_EQ(result.err.find("libicu"), std::string::npos) << "ICU loaded for an ASCII name";
    opened();
  }
}

// The symbols `file` offers other libraries, demangled, one "TYPE NAME" each; nothing where nm
// (binutils) is missing.
std::set<std::string> exported(const fs::path& file) {
  const auto listed = testing_support::run({"nm", "-D", "-C", "--defined-only", file.string()});
  std::set<std::string> symbols;
  std::istringstream lines(listed.out);
  std::string address;
  std::string type;
  for (std::string name; lines >> address >> type && std::getline(lines >> std::ws, name);)
    symbols.insert(type + " " + name);
  return symbols;
}

// The plugin and the program meet through one C function: neither exports its insides.
TEST_F(ShareExtensionTest, TheProgramExportsNothingOfItsOwnAndThePluginItsEntryPointAlone) {
  const fs::path program = KELPWORD_SHARE;
  const fs::path plugin = program.parent_path() / "kelpword-window-sheet.so";
  if (!fs::exists(plugin)) GTEST_SKIP() << "built without the window sheet";
  const auto ofThePlugin = exported(plugin);
  if (ofThePlugin.empty()) GTEST_SKIP() << "nm (binutils) is not installed";

  std::set<std::string> functions;
  for (const auto& symbol : ofThePlugin) {
    if (!symbol.starts_with("B ") && !symbol.starts_with("D ")) functions.insert(symbol);
  }
  EXPECT_EQ(functions, std::set<std::string>{"T kelpword_window_sheet"});
  for (const auto& symbol : exported(program)) {
    // What the C and C++ runtimes refer to stays: their data, copied in, and std's inline code.
    EXPECT_EQ(symbol.find("platform::"), std::string::npos) << symbol;
    EXPECT_EQ(symbol.find("KelpWord"), std::string::npos) << symbol;
    EXPECT_EQ(symbol.find("asio::"), std::string::npos) << symbol;
  }
}

}  // namespace
}  // namespace e2e
