#include "platform/Callback.hpp"

#include <cstdio>
#include <cstdlib>

namespace platform::detail {

void reportCallbackCalledTwice() {
  std::fputs("platform: a completion callback was called a second time\n", stderr);
  std::abort();
}

void reportCallbackDropped() {
  std::fputs("platform: a completion callback was dropped without being called\n", stderr);
}

}  // namespace platform::detail
