#include "platform/Uuid.hpp"

#include <array>

#include <uuid/uuid.h>

namespace platform {

std::string newUuidString() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  std::array<char, 37> text{};  // 36 characters and the terminating NUL
  uuid_unparse_upper(uuid, text.data());
  return std::string(text.data(), 36);
}

}  // namespace platform
