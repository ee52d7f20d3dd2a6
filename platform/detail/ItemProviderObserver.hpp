#pragma once

#include <functional>
#include <string_view>

#include "platform/ItemProvider.hpp"

// For tests of the receiving side only; not installed.
namespace platform::detail {

// Tells `observer` the name of every receiving-side call on `provider`
// ("registeredTypeIdentifiers", "loadURL", …) as it begins, on the calling thread. An empty
// observer stops the telling.
void setReceivingObserver(const ItemProvider& provider,
                          std::function<void(std::string_view call)> observer);

}  // namespace platform::detail
