#include "tests/e2e/E2eFixture.hpp"

#include <chrono>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "platform/app/workspace/RunningApplication.hpp"
#include "tests/support/WaitUntil.hpp"

namespace e2e {

namespace fs = std::filesystem;

void ShareExtensionTest::SetUp() {
  if (testing_support::nssWrapperLibrary().empty()) GTEST_SKIP() << "nss_wrapper is not installed";
  fs::create_directories(home());
  fs::create_directories(applications());
  fs::create_directories(folder_ / "data-dirs");
  testing_support::writeFile(folder_ / "passwd", "sharer:x:" + std::to_string(::getuid()) + ":" +
                                                     std::to_string(::getgid()) +
                                                     ":Sharer:" + home().string() + ":/bin/sh\n");
  testing_support::writeFile(folder_ / "group", "");
}

fs::path ShareExtensionTest::inbox() const {
  return home() / "Library/Application Support/com.brenvik.kelpword/Received Files";
}

void ShareExtensionTest::makeInbox() const { fs::create_directories(inbox()); }

std::vector<fs::path> ShareExtensionTest::shareFolders() const {
  std::vector<fs::path> folders;
  if (!fs::exists(inbox())) return folders;
  for (const auto& entry : fs::directory_iterator(inbox())) folders.push_back(entry.path());
  return folders;
}

void ShareExtensionTest::makeBundle(const fs::path& at, const std::string& identifier,
                                    const fs::path& program) const {
  fs::create_directories(at / "Contents/MacOS");
  fs::copy_file(program, at / "Contents/MacOS/KelpWord", fs::copy_options::overwrite_existing);
  testing_support::writeFile(at / "Contents/Info.plist",
                             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                             "<dict>\n  <key>CFBundleIdentifier</key>\n  <string>" +
                                 identifier +
                                 "</string>\n  <key>CFBundleExecutable</key>\n"
                                 "  <string>KelpWord</string>\n</dict>\n</plist>\n");
}

fs::path ShareExtensionTest::placeExtension(const fs::path& at) const {
  const fs::path appex = at / "Contents/PlugIns/KelpWordShare.appex";
  fs::create_directories(appex / "Contents/MacOS");
  fs::path program = appex / "Contents/MacOS/kelpword-share";
  fs::copy_file(KELPWORD_SHARE, program);
  return program;
}

std::vector<std::pair<std::string, std::string>> ShareExtensionTest::environment() const {
  auto environment = testing_support::nssWrapperEnvironment((folder_ / "passwd").string(),
                                                            (folder_ / "group").string());
  environment.emplace_back("HOME", (folder_ / "not-the-home").string());
  environment.emplace_back("XDG_DATA_HOME", (folder_ / "data-home").string());
  environment.emplace_back("XDG_DATA_DIRS", (folder_ / "data-dirs").string());
  environment.emplace_back("KELPWORD_STAND_IN_RECORD", (folder_ / "opened.txt").string());
  environment.emplace_back("TMPDIR", folder_.string());
  // The machine's session bus, if any, stays out of the test's world.
  environment.emplace_back("DBUS_SESSION_BUS_ADDRESS", "");
  environment.emplace_back("XDG_RUNTIME_DIR", (folder_ / "runtime").string());
  environment.insert(environment.end(), addedEnvironment_.begin(), addedEnvironment_.end());
  return environment;
}

testing_support::ProcessResult ShareExtensionTest::share(const std::vector<std::string>& arguments,
                                                         const std::string& input,
                                                         const fs::path& program) const {
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  testing_support::ProcessOptions options;
  options.environment = environment();
  // These tests read the text sheet: on a desktop, a window would take its place.
  options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY"};
  options.input = input;
  return testing_support::run(argv, options);
}

std::vector<Opened> ShareExtensionTest::opened(std::size_t count) const {
  using std::chrono::milliseconds;
  std::vector<Opened> starts;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  testing_support::waitUntil(
      [&] {
        starts.clear();
        std::ifstream in(folder_ / "opened.txt");
        std::stringstream text;
        text << in.rdbuf();
        Opened current;
        for (std::string line; std::getline(text, line);) {
          if (line.starts_with("program: ")) current.program = line.substr(9);
          if (line.starts_with("file: ")) current.files.push_back(line.substr(6));
          if (line.empty()) starts.push_back(std::exchange(current, {}));
        }
        return starts.size() >= count;
      },
      milliseconds(10'000), milliseconds(20));
  testing_support::waitUntil(
      [] {
        return platform::RunningApplication::runningApplications("com.brenvik.kelpword").empty();
      },
      std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now()),
      milliseconds(20));
  return starts;
}

}  // namespace e2e
