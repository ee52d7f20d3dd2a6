#pragma once

#include "platform/app/sandbox/AppSandbox.hpp"

namespace KelpWordShare {

// The extension's entitlements: the application sandbox, read and write access to one
// home-relative path, KelpWord's inbox (the folder AudioIntake::receivedFolder() forms), and
// KelpWord as the application it hands the received files to.
inline const platform::SandboxEntitlements entitlements{
    .appSandbox = true,
    .homeRelativeReadWritePaths =
        {"/Library/Application Support/com.brenvik.kelpword/Received Files/"},
    .handOffApplication = "com.brenvik.kelpword",
};

}  // namespace KelpWordShare
