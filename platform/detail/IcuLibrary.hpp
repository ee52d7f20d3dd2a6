#pragma once

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>

namespace platform::detail {

// The ICU functions that the platform calls, from ICU's common library as it is loaded at the
// first call that needs it. Most texts are ASCII and need none of it; a program that links ICU
// loads it, and the C++ runtime it brings, at every start, a good part of a short program's time.
struct IcuLibrary {
  decltype(&u_errorName) errorName;
  decltype(&u_hasBinaryProperty) hasBinaryProperty;
  decltype(&u_charType) charType;
  decltype(&u_getIntPropertyValue) intPropertyValue;
  decltype(&uloc_isRightToLeft) isRightToLeft;
  decltype(&u_strFromUTF8WithSub) utf16FromUtf8;
  decltype(&u_strToUTF8) utf8FromUtf16;
  decltype(&unorm2_getNFCInstance) nfcInstance;
  decltype(&unorm2_normalize) normalize;
  decltype(&utext_openUTF8) openUtf8Text;
  decltype(&utext_close) closeText;
  decltype(&ubrk_open) openBreaks;
  decltype(&ubrk_setUText) setBreaksText;
  decltype(&ubrk_setText) setBreaksUtf16Text;
  decltype(&ubrk_isBoundary) isBoundary;
  decltype(&ubrk_preceding) preceding;
  decltype(&ubrk_close) closeBreaks;
};

// The functions, the library loaded at the first call and kept for the process's life; null
// when it cannot be loaded or lacks one of them.
const IcuLibrary* icuLibrary();

// The same, or std::runtime_error naming the library when it cannot be loaded.
const IcuLibrary& requiredIcuLibrary();

}  // namespace platform::detail
