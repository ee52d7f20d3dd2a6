// A window sheet plugin that serves another version of the interface than the program's, as one
// left from an older or newer install would: it has its entry point and no table for the program.
#include "platform/app/sheet/WindowSheetPlugin.h"

namespace {
constexpr uint32_t servedVersion = KELPWORD_WINDOW_SHEET_ABI_VERSION + 1;
}  // namespace

const struct kelpword_window_sheet_plugin* kelpword_window_sheet(uint32_t abiVersion) {
  static const kelpword_window_sheet_plugin table{servedVersion, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr,       nullptr, nullptr, nullptr, nullptr,
                                                  nullptr,       nullptr, nullptr};
  return abiVersion == servedVersion ? &table : nullptr;
}
