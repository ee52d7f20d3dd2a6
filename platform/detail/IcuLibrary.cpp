#include "platform/detail/IcuLibrary.hpp"

#include <optional>
#include <stdexcept>
#include <string>

#include <dlfcn.h>

#include <unicode/uvernum.h>

// ICU's functions carry its major version in their names (u_errorName is u_errorName_72): the
// name to look up is the one that the headers turn the plain name into.
#define KELPWORD_ICU_SYMBOL_TEXT(name) #name
#define KELPWORD_ICU_SYMBOL(name) KELPWORD_ICU_SYMBOL_TEXT(name)

namespace platform::detail {
namespace {

// The library of the version whose headers we were built with: its interface is that version's.
constexpr const char* icuSoname = "libicuuc.so." U_ICU_VERSION_SHORT;

template <class Function>
bool find(void* library, const char* name, Function& function) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym gives functions as void*
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

std::optional<IcuLibrary> load() {
  // Never unloaded: ICU keeps caches for the process's life.
  void* const library = ::dlopen(icuSoname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return std::nullopt;
  IcuLibrary icu{};
  const bool complete =
      find(library, KELPWORD_ICU_SYMBOL(u_errorName), icu.errorName) &&
      find(library, KELPWORD_ICU_SYMBOL(u_hasBinaryProperty), icu.hasBinaryProperty) &&
      find(library, KELPWORD_ICU_SYMBOL(u_charType), icu.charType) &&
      find(library, KELPWORD_ICU_SYMBOL(u_getIntPropertyValue), icu.intPropertyValue) &&
      find(library, KELPWORD_ICU_SYMBOL(uloc_isRightToLeft), icu.isRightToLeft) &&
      find(library, KELPWORD_ICU_SYMBOL(u_strFromUTF8WithSub), icu.utf16FromUtf8) &&
      find(library, KELPWORD_ICU_SYMBOL(u_strToUTF8), icu.utf8FromUtf16) &&
      find(library, KELPWORD_ICU_SYMBOL(unorm2_getNFCInstance), icu.nfcInstance) &&
      find(library, KELPWORD_ICU_SYMBOL(unorm2_normalize), icu.normalize) &&
      find(library, KELPWORD_ICU_SYMBOL(utext_openUTF8), icu.openUtf8Text) &&
      find(library, KELPWORD_ICU_SYMBOL(utext_close), icu.closeText) &&
      find(library, KELPWORD_ICU_SYMBOL(ubrk_open), icu.openBreaks) &&
      find(library, KELPWORD_ICU_SYMBOL(ubrk_setUText), icu.setBreaksText) &&
      find(library, KELPWORD_ICU_SYMBOL(ubrk_setText), icu.setBreaksUtf16Text) &&
      find(library, KELPWORD_ICU_SYMBOL(ubrk_isBoundary), icu.isBoundary) &&
      find(library, KELPWORD_ICU_SYMBOL(ubrk_preceding), icu.preceding) &&
      find(library, KELPWORD_ICU_SYMBOL(ubrk_close), icu.closeBreaks);
  if (!complete) return std::nullopt;
  return icu;
}

}  // namespace

const IcuLibrary* icuLibrary() {
  static const std::optional<IcuLibrary> library = load();
  return library ? &*library : nullptr;
}

const IcuLibrary& requiredIcuLibrary() {
  const IcuLibrary* const library = icuLibrary();
  if (library == nullptr) {
    throw std::runtime_error(std::string("ICU's common library ") + icuSoname +
                             " could not be loaded");
  }
  return *library;
}

}  // namespace platform::detail
