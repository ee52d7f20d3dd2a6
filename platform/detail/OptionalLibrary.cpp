#include "platform/detail/OptionalLibrary.hpp"

#include <cerrno>
#include <system_error>

#include <dlfcn.h>

namespace platform::detail {

OptionalLibrary::OptionalLibrary(const char* soname)
    : soname_(soname), handle_(::dlopen(soname, RTLD_NOW | RTLD_LOCAL)) {
  if (handle_ != nullptr) return;
  const char* const error = ::dlerror();
  problem_ = error != nullptr ? error : "cannot be opened";
  // The loader's message starts with the name, which the exception's gives already.
  if (const std::string named = std::string(soname) + ": "; problem_.starts_with(named)) {
    problem_.erase(0, named.size());
  }
}

void* OptionalLibrary::address(const char* name) {
  if (!complete()) return nullptr;
  void* const found = ::dlsym(handle_, name);
  if (found == nullptr) problem_ = std::string("it has no function ") + name;
  return found;
}

void OptionalLibrary::requireComplete() const {
  if (!complete()) {
    throw std::system_error(ELIBACC, std::generic_category(),
                            std::string("cannot load ") + soname_ + ": " + problem_);
  }
}

}  // namespace platform::detail
