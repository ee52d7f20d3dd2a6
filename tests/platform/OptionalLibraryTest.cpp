#include "platform/detail/OptionalLibrary.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

// Declared for a library to look up; no library defines it.
extern "C" std::size_t kelpword_absent_function(const char* text);

namespace {

using platform::detail::OptionalLibrary;
using platform::detail::optionalLibrary;
using platform::detail::requiredLibrary;

struct StringFunctions : OptionalLibrary {
  StringFunctions() : OptionalLibrary("libc.so.6") {}
  KELPWORD_OPTIONAL_FUNCTION(strlen);
  KELPWORD_OPTIONAL_FUNCTION(strnlen);
};

// The library has the functions before and after the one it lacks.
struct OneFunctionLacking : OptionalLibrary {
  OneFunctionLacking() : OptionalLibrary("libc.so.6") {}
  KELPWORD_OPTIONAL_FUNCTION(strlen);
  KELPWORD_OPTIONAL_FUNCTION(kelpword_absent_function);
  KELPWORD_OPTIONAL_FUNCTION(strnlen);
};

struct NotInstalled : OptionalLibrary {
  NotInstalled() : OptionalLibrary("libkelpword-not-installed.so.1") {}
  KELPWORD_OPTIONAL_FUNCTION(strlen);
};

// Why `Library` is missing, as requiredLibrary says, which optionalLibrary must agree with;
// empty when it loads.
template <class Library>
std::string missingBecause() {
  try {
    requiredLibrary<Library>();
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::error_code(ELIBACC, std::generic_category()));
    EXPECT_EQ(optionalLibrary<Library>(), nullptr);
    return error.what();
  }
  EXPECT_NE(optionalLibrary<Library>(), nullptr);
  return {};
}

TEST(OptionalLibraryTest, CallsEachFunctionByItsRealName) {
  const auto* const library = optionalLibrary<StringFunctions>();
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(library->strlen("four"), 4U);
  EXPECT_EQ(library->strnlen("four", 2), 2U);
}

// A library is all or nothing: one that lacks a function is as missing as one not installed.
TEST(OptionalLibraryTest, ALibraryLackingAFunctionIsMissing) {
  struct Case {
    const char* name;
    std::string (*missing)();
    std::string reason;
  };
  const Case cases[] = {
      {"one function lacking", &missingBecause<OneFunctionLacking>,
       "cannot load libc.so.6: it has no function kelpword_absent_function"},
      {"not installed", &missingBecause<NotInstalled>,
       "cannot load libkelpword-not-installed.so.1: cannot open shared object file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string reason = c.missing();
    EXPECT_EQ(reason.substr(0, c.reason.size()), c.reason);
  }
}

}  // namespace
