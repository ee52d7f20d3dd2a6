#pragma once

#include <string>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/app/sandbox/AppSandbox.hpp"
#include "share-extension/ShareViewController.hpp"

namespace KelpWordShare {

// The extension's entitlements: the application sandbox, read and write access to one
// home-relative path, KelpWord's inbox, and KelpWord as the application it hands the received
// files to. The inbox is the intake library's own: formed under the root, receivedFolder() gives
// its path relative to any home.
inline const platform::SandboxEntitlements entitlements{
    .appSandbox = true,
    .homeRelativeReadWritePaths = {DidedaZiv::AudioIntake::receivedFolder(
                                       platform::Url::fileURL("/", /*isDirectory=*/true))
                                       .path()},
    .handOffApplication = std::string(kelpWordIdentifier),
};

}  // namespace KelpWordShare
