#pragma once

#include <chrono>

namespace testing_support {

// Whether this build runs under AddressSanitizer, or under any sanitizer (address or thread): a
// sanitizer's program is slower, to start and to end.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool addressSanitized = true;
#else
inline constexpr bool addressSanitized = false;
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif

// How soon a share ends once told to (interrupted, its window closed): within a second; a
// sanitizer's program takes longer to end, whatever it ends for.
inline constexpr std::chrono::seconds promptly{sanitized ? 3 : 1};

}  // namespace testing_support
