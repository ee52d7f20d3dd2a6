#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tests/window/HeadlessCompositor.hpp"
#include "tests/window/RunningShare.hpp"
#include "tests/window/VirtualDisplay.hpp"

// One X server for the whole test process (WindowTestMain.cpp): once GTK has opened a display in
// a process it keeps it to the end, so the process's own windows and the programs it starts all
// share it. The process's toolkit gets a home of its own, never the real one. Beside it, one
// Wayland compositor, for the programs the tests start.
namespace window_test {

// The test process's X server, or none; then whyNoDisplay() says why.
VirtualDisplay* testDisplay();
const std::string& whyNoDisplay();

// The test process's Wayland compositor, or none; then whyNoCompositor() says why.
HeadlessCompositor* testCompositor();
const std::string& whyNoCompositor();

// Whether `program` is an executable in a folder of $PATH.
bool onPath(const std::string& program);

// What GTK in a program the tests start needs on any display:
// caches, settings and state under `folder`; and nss_wrapper without RTLD_DEEPBIND, which
// AddressSanitizer refuses (the toolkit makes it load the C library).
RunningShare::Environment toolkitHome(const std::filesystem::path& folder);

// What a program started on the test display needs on top of its environment: the display;
// GTK drawing with cairo and without OpenGL (software OpenGL under Xvfb takes seconds a frame,
// and its driver, unloaded when a display closes, leaves leaks LeakSanitizer cannot name); its
// data under `folder` too; and toolkitHome(folder).
RunningShare::Environment toolkitEnvironment(const std::filesystem::path& folder);

// What `window` shows once it has stopped changing (three pictures alike, a moment apart, with
// something drawn) and, when `wanted` is given, shows what it wants: the window may pass through
// other pictures on its way. `wait` lets time pass (and the main loop run, for a window of this
// process). When `timeout` runs out first, the last picture taken; none once the window has gone.
std::optional<Image> settledPicture(WindowId window, std::chrono::milliseconds timeout,
                                    const std::function<void(std::chrono::milliseconds)>& wait,
                                    const std::function<bool(const Image&)>& wanted = nullptr);

}  // namespace window_test
