#pragma once

// The reference application's tests' fixture: kelpword-reference on the tests' own X server and
// session bus, with a home of the test's own, and what it says it shows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include "tests/reference-app/ReferenceAppTestEnvironment.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/window/RunningShare.hpp"

namespace reference_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::vector<std::string>;
using testing_support::TempFolder;
using testing_support::writeFile;
using window_test::RunningShare;

// What the application said it shows, line by line: "received: PATH", "problem: MESSAGE" or
// "refused: URI" ("swept: PATH" lines are the sweep's).
struct Shown {
  std::vector<fs::path> received;
  Names problems;
  Names refused;
};

Shown shownIn(const std::string& output);

// Shown beyond `before`, once `wanted` lines more have come or 20 s have passed.
Shown waitForShown(const RunningShare& app, const Shown& before, std::size_t wanted);

// Whether `done` came true within 20 s.
bool waitUntil(const std::function<bool()>& done);

// An org.freedesktop.Application.Open call, as the share extension's hand-off makes it.
struct OpenCall {
  std::vector<std::string> uris;
  std::vector<std::pair<std::string, std::string>> platformData;
};

struct OpenAnswer {
  std::optional<std::string> error;  // none when the call was answered without one
  std::chrono::steady_clock::duration took{};
};

OpenAnswer callOpen(const std::string& busAddress, const OpenCall& call);
// The URI of a local file.
std::string uriOf(const fs::path& file);

class ReferenceAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testDisplay() == nullptr) GTEST_SKIP() << whyNoDisplay();
    if (testing_support::nssWrapperLibrary().empty()) {
      GTEST_SKIP() << "nss_wrapper is not installed (package libnss-wrapper)";
    }
    if (!testing_support::privateBusAvailable()) {
      GTEST_SKIP() << "dbus-daemon is not installed (package dbus)";
    }
    bus_ = std::make_unique<testing_support::PrivateBus>(temp_ / "bus");
    writeFile(temp_ / "passwd", "tester:x:" + std::to_string(::getuid()) + ":" +
                                    std::to_string(::getgid()) + ":Tester:" + home().string() +
                                    ":/bin/sh\n");
    writeFile(temp_ / "group", "");
  }

  fs::path home() const { return temp_ / "home"; }
  fs::path inbox() const {
    return home() / "Library/Application Support/com.brenvik.kelpword/Received Files";
  }

  // What every program on the test display needs: the display, cairo instead of OpenGL, no
  // accessibility bus, the private session bus, the toolkit's files in the test's folder.
  RunningShare::Environment toolkitEnvironment() const {
    return {{"DISPLAY", testDisplay()->name()},
            {"GSK_RENDERER", "cairo"},
            {"GDK_DEBUG", "gl-disable"},
            {"GTK_A11Y", "none"},
            {"DBUS_SESSION_BUS_ADDRESS", bus_->address()},
            {"XDG_CACHE_HOME", (temp_ / "xdg/cache").string()},
            {"XDG_CONFIG_HOME", (temp_ / "xdg/config").string()},
            {"XDG_DATA_HOME", (temp_ / "xdg/data").string()},
            {"XDG_STATE_HOME", (temp_ / "xdg/state").string()}};
  }

  // kelpword-reference with the test's home through nss_wrapper (without RTLD_DEEPBIND, which
  // AddressSanitizer refuses).
  RunningShare::Environment appEnvironment() const {
    auto environment = toolkitEnvironment();
    for (auto& entry : testing_support::nssWrapperEnvironment((temp_ / "passwd").string(),
                                                              (temp_ / "group").string())) {
      environment.push_back(std::move(entry));
    }
    environment.emplace_back("NSS_WRAPPER_DISABLE_DEEPBIND", "1");
    environment.emplace_back("HOME", home().string());
    return environment;
  }

  std::unique_ptr<RunningShare> startApp(const std::vector<std::string>& arguments,
                                         const std::string& name = "app") {
    const auto environment = appEnvironment();
    std::vector<std::string> argv{KELPWORD_REFERENCE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    fs::create_directories(temp_ / name);
    auto app =
        std::make_unique<RunningShare>(argv, environment, std::vector<std::string>{}, temp_ / name);
    waitForOutputFiles(temp_ / name);
    return app;
  }

  // The program's output files once it has made them (before that, reading them fails).
  static void waitForOutputFiles(const fs::path& folder) {
    EXPECT_TRUE(waitUntil([&] { return fs::exists(folder / "share.err"); }));
  }

  // The application's window, once it shows.
  std::optional<window_test::WindowId> windowOf(const RunningShare& app) const {
    return testDisplay()->waitForWindow("KelpWord", app.pid(), 20s);
  }

  // Ends the application as a session does, and expects it to end cleanly: no complaint from
  // GLib on the way (a source removed twice, a bus left unflushed), and under AddressSanitizer no
  // leak of its own.
  static void endApp(RunningShare& app) {
    ::kill(app.pid(), SIGTERM);
    EXPECT_EQ(app.waitForExit(20s), 0) << app.errors();
    EXPECT_EQ(app.errors().find("-CRITICAL **"), std::string::npos) << app.errors();
    EXPECT_EQ(app.errors().find("-WARNING **"), std::string::npos) << app.errors();
  }

  // Drags the drag source's window onto `target` and drops there, with the pointer as a user
  // moves it: press, move in steps, release.
  void dragOnto(window_test::WindowId target, const std::vector<std::string>& sourceArguments) {
    std::vector<std::string> argv{REFERENCE_DRAG_SOURCE};
    argv.insert(argv.end(), sourceArguments.begin(), sourceArguments.end());
    // A folder of its own for each source's output: none reads another's lines.
    const auto folder = temp_ / ("source " + std::to_string(++drags_));
    fs::create_directories(folder);
    RunningShare source(argv, toolkitEnvironment(), {}, folder);
    waitForOutputFiles(folder);
    const auto window = testDisplay()->waitForWindow("Drag source", source.pid(), 20s);
    ASSERT_TRUE(window) << source.errors();
    const auto to = testDisplay()->geometry(target);
    ASSERT_TRUE(to);
    xdotool({"windowmove", "--sync", std::to_string(*window),
             std::to_string(to->x + to->width + 40), std::to_string(to->y + 20)});
    const auto from = testDisplay()->geometry(*window);
    ASSERT_TRUE(from);
    const int startX = from->x + from->width / 2;
    const int startY = from->y + from->height / 2;
    const int endX = to->x + to->width / 2;
    const int endY = to->y + to->height / 2;
    // Press and pull away until the source has begun its drag: a slow source (under the
    // sanitizers) would otherwise see the release before its drag starts.
    xdotool({"mousemove", "--sync", std::to_string(startX), std::to_string(startY), "mousedown",
             "1", "mousemove", std::to_string(startX - 10), std::to_string(startY), "sleep", "0.05",
             "mousemove", std::to_string(startX - 30), std::to_string(startY + 5)});
    ASSERT_TRUE(waitUntil([&] { return source.output().find("drag: begun") != std::string::npos; }))
        << "no drag began: " << source.errors();
    std::vector<std::string> gesture;
    for (int step = 1; step <= 8; ++step) {
      gesture.insert(gesture.end(),
                     {"mousemove", std::to_string(startX + (endX - startX) * step / 8),
                      std::to_string(startY + (endY - startY) * step / 8), "sleep", "0.05"});
    }
    // A last small move over the target, so that it has seen the pointer arrive before the drop.
    gesture.insert(gesture.end(), {"sleep", "0.5", "mousemove", std::to_string(endX + 4),
                                   std::to_string(endY + 4), "sleep", "0.5", "mouseup", "1"});
    xdotool(gesture);
    EXPECT_TRUE(waitUntil([&] { return source.output().find("drag: ended") != std::string::npos; }))
        << "the drag did not end: " << source.errors();
  }

  void xdotool(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), "xdotool");
    testing_support::ProcessOptions options;
    options.environment = {{"DISPLAY", testDisplay()->name()}};
    options.timeout = 20s;
    const auto result = testing_support::run(arguments, options);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
  }

  TempFolder temp_;
  std::unique_ptr<testing_support::PrivateBus> bus_;
  int drags_ = 0;
};

}  // namespace reference_test
