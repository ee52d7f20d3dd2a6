#pragma once

#include <memory>
#include <vector>

#include "platform/Url.hpp"
#include "platform/app/extension/ExtensionContext.hpp"
#include "platform/app/extension/ShareArguments.hpp"
#include "platform/app/extension/StandardInputSpool.hpp"

namespace platform {

// One extension item per ITEM, each with one attachment, in order: a file path gives
// ItemProvider::forFile(); a link a provider of its URL ("public.url"); "-" a provider of
// standard input's data (read through `standardInput` when loaded, which must then be given) as
// a file of `--type` (a type identifier, or a MIME type that the content-type table knows, for
// which its type stands; public.data by default) with `--name` as its suggested name (none
// without the option; "" when given empty).
std::vector<std::shared_ptr<InputItem>> sharedItems(
    const ShareArguments& arguments, const std::shared_ptr<StandardInputSpool>& standardInput);

}  // namespace platform
