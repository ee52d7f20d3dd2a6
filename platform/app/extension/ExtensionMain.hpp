#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/app/sandbox/AppSandbox.hpp"
#include "platform/app/views/ViewController.hpp"
#include "platform/app/workspace/Bundle.hpp"

namespace platform {

// Makes the extension's principal controller from a nib name and a bundle (both none here).
using PrincipalControllerFactory = std::function<std::shared_ptr<ViewController>(
    std::optional<std::string> nibName, std::optional<Bundle> bundle)>;

template <class Controller>
PrincipalControllerFactory principalClass() {
  return [](std::optional<std::string> nibName, std::optional<Bundle> bundle) {
    return std::make_shared<Controller>(std::move(nibName), std::move(bundle));
  };
}

// The extension runtime: the whole life of a share extension's process, for one share request.
//
//   program [--type T] [--name N] [--no-window] [ITEM…]
//
// In this order: opens /dev/null on any of descriptors 0, 1, 2 that is closed (so that nothing
// opened later takes their place); reads the arguments (--help prints the usage and returns 0; a
// usage error is reported on standard error and returns 2); turns each ITEM into one shared
// item (see SharedItems.hpp; standard input is read, once the item is loaded, into a temporary
// folder of the runtime's own, removed at the end); creates the controller, hands it the
// request's extension context, shows its view as a sheet (chooseSheetRenderer(): a window where a
// display is available, unless --no-window), then calls its viewDidAppear(); and runs the main
// loop on the calling thread until the request ends. SIGINT, SIGTERM and SIGHUP cancel the
// request as Close does: the sheet closes (a terminal gets its settings back), reading standard
// input stops, loads under way finish and the temporary folder goes. Returns 0 when the request
// completed, 1 when it was cancelled.
int extensionMain(int argc, char** argv, const PrincipalControllerFactory& makeController);

// The same for an extension whose entitlements may enable the application sandbox: the runtime
// enters it (AppSandbox::enter()) once the arguments have been read, before the first shared
// item is. A sandbox that the kernel offers but that cannot be entered ends the run with 1.
int extensionMain(int argc, char** argv, const PrincipalControllerFactory& makeController,
                  const SandboxEntitlements& entitlements);

}  // namespace platform
