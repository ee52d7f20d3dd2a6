#pragma once

#include "platform/app/sandbox/AppSandbox.hpp"

namespace KelpWordShare {

// The extension's entitlements: the application sandbox, and read and write access to one
// home-relative path, KelpWord's inbox (the folder AudioIntake::receivedFolder() forms).
inline const platform::SandboxEntitlements entitlements{
    .appSandbox = true,
    .homeRelativeReadWritePaths =
        {"/Library/Application Support/com.brenvik.kelpword/Received Files/"},
};

}  // namespace KelpWordShare
