#pragma once

#include <dlfcn.h>

namespace platform::detail {

// Sets `function` to the function `name` of a library opened with dlopen, of the type the caller
// declared it with; false when the library has no such function.
template <class Function>
bool findFunction(void* library, const char* name, Function& function) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym gives functions as void*
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

}  // namespace platform::detail
