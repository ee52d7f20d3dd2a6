#include "platform/detail/IcuLibrary.hpp"

#include <string_view>

#include <unicode/uvernum.h>

namespace platform::detail {

// The build names the library for the packages' dependencies too (platform/CMakeLists.txt); its
// functions are those of the headers' version.
static_assert(std::string_view(KELPWORD_ICU_SONAME) == "libicuuc.so." U_ICU_VERSION_SHORT,
              "ICU's headers are not of the library that the build names");

IcuLibrary::IcuLibrary() : OptionalLibrary(KELPWORD_ICU_SONAME) {}

}  // namespace platform::detail
