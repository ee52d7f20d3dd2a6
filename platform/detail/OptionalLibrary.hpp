#pragma once

#include <string>

namespace platform::detail {

// A library opened with dlopen when a call first needs it, in place of being linked, so that a
// program starts without it and the libraries it pulls in. A library's struct derives from it
// and names each function it calls once, by its real name, as a member of that name:
//
//   struct MathLibrary : OptionalLibrary {
//     MathLibrary() : OptionalLibrary("libm.so.6") {}
//     KELPWORD_OPTIONAL_FUNCTION(j0);
//   };
//
// and a caller calls `library.j0(x)`. The name looked up is the one the library's headers turn
// the real name into, ICU's u_charType_72 for u_charType. A library is all or nothing: one that
// cannot be opened, or lacks one of the functions, is missing, its members null. It is never
// closed: ICU and GLib keep caches and threads for the process's life.
class OptionalLibrary {
 public:
  OptionalLibrary(const OptionalLibrary&) = delete;
  OptionalLibrary& operator=(const OptionalLibrary&) = delete;

  // Whether the library was opened with every function named.
  [[nodiscard]] bool complete() const noexcept { return problem_.empty(); }

  // Throws std::system_error (ELIBACC) naming the library, and what it lacks, when it is missing.
  void requireComplete() const;

 protected:
  explicit OptionalLibrary(const char* soname);
  ~OptionalLibrary() = default;

  // The function `name`, of the type it is declared with; null when the library is missing.
  template <class Function>
  Function function(const char* name) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym gives functions as void*
    return reinterpret_cast<Function>(address(name));
  }

 private:
  void* address(const char* name);

  const char* soname_;
  void* handle_;
  std::string problem_;  // why the library is missing; empty while it is complete
};

// The library of type `Library`, opened at the first call from any thread and kept for the
// process's life.
template <class Library>
const Library& loadedOnce() {
  static const Library library;
  return library;
}

// The library, or null when it is missing.
template <class Library>
const Library* optionalLibrary() {
  const Library& library = loadedOnce<Library>();
  return library.complete() ? &library : nullptr;
}

// The library, or std::system_error (ELIBACC) when it is missing.
template <class Library>
const Library& requiredLibrary() {
  const Library& library = loadedOnce<Library>();
  library.requireComplete();
  return library;
}

}  // namespace platform::detail

// A member of an OptionalLibrary named and typed as the function `name` that its headers declare.
// The name passes through one more expansion before it becomes text, as through the member's
// declaration, so that a header's renaming (ICU's version suffix) applies to both.
#define KELPWORD_OPTIONAL_FUNCTION_TEXT(name) #name
#define KELPWORD_OPTIONAL_FUNCTION_NAME(name) KELPWORD_OPTIONAL_FUNCTION_TEXT(name)
#define KELPWORD_OPTIONAL_FUNCTION(name) \
  decltype(&::name) name = function<decltype(&::name)>(KELPWORD_OPTIONAL_FUNCTION_NAME(name))
