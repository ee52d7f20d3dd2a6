#include "platform/detail/IcuLibrary.hpp"

#include <optional>
#include <stdexcept>
#include <string>

#include <dlfcn.h>

#include <unicode/uvernum.h>

#include "platform/detail/LoadedLibrary.hpp"

// ICU's functions carry its major version in their names (u_errorName is u_errorName_72): the
// name to look up is the one that the headers turn the plain name into.
#define KELPWORD_ICU_SYMBOL_TEXT(name) #name
#define KELPWORD_ICU_SYMBOL(name) KELPWORD_ICU_SYMBOL_TEXT(name)

namespace platform::detail {
namespace {

// The library of the version whose headers we were built with: its interface is that version's.
constexpr const char* icuSoname = "libicuuc.so." U_ICU_VERSION_SHORT;

std::optional<IcuLibrary> load() {
  // Never unloaded: ICU keeps caches for the process's life.
  void* const library = ::dlopen(icuSoname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return std::nullopt;
  IcuLibrary icu{};
  const bool complete =
      findFunction(library, KELPWORD_ICU_SYMBOL(u_errorName), icu.errorName) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(u_hasBinaryProperty), icu.hasBinaryProperty) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(u_charType), icu.charType) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(u_getIntPropertyValue), icu.intPropertyValue) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(uloc_isRightToLeft), icu.isRightToLeft) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(u_strFromUTF8WithSub), icu.utf16FromUtf8) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(u_strToUTF8), icu.utf8FromUtf16) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(unorm2_getNFCInstance), icu.nfcInstance) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(unorm2_normalize), icu.normalize) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(utext_openUTF8), icu.openUtf8Text) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(utext_close), icu.closeText) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(ubrk_open), icu.openBreaks) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(ubrk_setUText), icu.setBreaksText) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(ubrk_setText), icu.setBreaksUtf16Text) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(ubrk_isBoundary), icu.isBoundary) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(ubrk_preceding), icu.preceding) &&
      findFunction(library, KELPWORD_ICU_SYMBOL(ubrk_close), icu.closeBreaks);
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
