#pragma once

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>

#include "platform/detail/OptionalLibrary.hpp"

namespace platform::detail {

// The ICU functions that the platform calls, from ICU's common library of the version whose
// headers we were built with, loaded at the first call that needs it. Most texts are ASCII and
// need none of it; a program that links ICU loads it, and the C++ runtime it brings, at every
// start, a good part of a short program's time.
struct IcuLibrary : OptionalLibrary {
  IcuLibrary();

  KELPWORD_OPTIONAL_FUNCTION(u_errorName);
  KELPWORD_OPTIONAL_FUNCTION(u_hasBinaryProperty);
  KELPWORD_OPTIONAL_FUNCTION(u_charType);
  KELPWORD_OPTIONAL_FUNCTION(u_getIntPropertyValue);
  KELPWORD_OPTIONAL_FUNCTION(uloc_isRightToLeft);
  KELPWORD_OPTIONAL_FUNCTION(u_strFromUTF8WithSub);
  KELPWORD_OPTIONAL_FUNCTION(u_strToUTF8);
  KELPWORD_OPTIONAL_FUNCTION(unorm2_getNFCInstance);
  KELPWORD_OPTIONAL_FUNCTION(unorm2_normalize);
  KELPWORD_OPTIONAL_FUNCTION(utext_openUTF8);
  KELPWORD_OPTIONAL_FUNCTION(utext_close);
  KELPWORD_OPTIONAL_FUNCTION(ubrk_open);
  KELPWORD_OPTIONAL_FUNCTION(ubrk_setUText);
  KELPWORD_OPTIONAL_FUNCTION(ubrk_setText);
  KELPWORD_OPTIONAL_FUNCTION(ubrk_isBoundary);
  KELPWORD_OPTIONAL_FUNCTION(ubrk_preceding);
  KELPWORD_OPTIONAL_FUNCTION(ubrk_close);
};

// The library, loaded at the first call; null when it is missing.
inline const IcuLibrary* icuLibrary() { return optionalLibrary<IcuLibrary>(); }

// The same, or std::system_error (ELIBACC) naming the library when it is missing.
inline const IcuLibrary& requiredIcuLibrary() { return requiredLibrary<IcuLibrary>(); }

}  // namespace platform::detail
