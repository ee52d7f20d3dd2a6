// The module's entry points (platform/app/sheet/window/WindowSheetModule.hpp).
#include "platform/app/sheet/window/WindowSheetModule.hpp"

#include <type_traits>

#include "platform/app/sheet/window/AccessibilityBus.hpp"
#include "platform/app/sheet/window/WindowSheetRenderer.hpp"

extern "C" {

bool kelpword_window_sheet_display_available();
platform::SheetRenderer* kelpword_window_sheet_new_renderer();

bool kelpword_window_sheet_display_available() {
  static const bool available = [] {
    platform::accessibilityBus::quietWithoutSessionBus();
    if (!platform::WindowSheetRenderer::displayAvailable()) return false;
    // The loading program may refuse new connections once this returns.
    platform::accessibilityBus::connectNow();
    return true;
  }();
  return available;
}

platform::SheetRenderer* kelpword_window_sheet_new_renderer() {
  return new platform::WindowSheetRenderer();
}

}  // extern "C"

// The loader calls them through the types the header gives.
static_assert(std::is_same_v<decltype(kelpword_window_sheet_display_available),
                             platform::windowSheetModule::DisplayAvailable>);
static_assert(std::is_same_v<decltype(kelpword_window_sheet_new_renderer),
                             platform::windowSheetModule::NewRenderer>);
