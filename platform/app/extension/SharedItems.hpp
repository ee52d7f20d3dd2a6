#pragma once

#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/Url.hpp"
#include "platform/app/extension/ExtensionContext.hpp"
#include "platform/app/extension/ShareArguments.hpp"

namespace platform {

// Standard input's data, kept in a file for the item that offers it.
struct StandardInputData {
  std::optional<Url> file;               // where it was saved
  std::optional<std::error_code> error;  // why it could not be
};

// Saves all of standard input into `folder` (created beforehand, the runtime's own) as a file,
// in constant memory. Reports a failure instead of throwing: the item then fails to load.
StandardInputData saveStandardInput(const Url& folder);

// One extension item per ITEM, each with one attachment, in order: a file path gives
// ItemProvider::forFile(); a link a provider of its URL ("public.url"); "-" a provider of
// `standardInput` as a file of `--type` (a type identifier, or a MIME type that the content-type
// table knows, for which its type stands; public.data by default) with `--name` as its suggested
// name (none without the option; "" when given empty).
std::vector<std::shared_ptr<InputItem>> sharedItems(const ShareArguments& arguments,
                                                    const StandardInputData& standardInput);

}  // namespace platform
