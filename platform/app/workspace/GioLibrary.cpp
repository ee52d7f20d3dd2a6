#include "platform/app/workspace/GioLibrary.hpp"

namespace platform::application_bus {

// The library's name with its ABI version: GIO 2 keeps its interface compatible.
GioLibrary::GioLibrary() : OptionalLibrary("libgio-2.0.so.0") {}

}  // namespace platform::application_bus
