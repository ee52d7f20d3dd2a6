#include "platform/app/extension/ExtensionMain.hpp"
#include "share-extension/Entitlements.hpp"
#include "share-extension/ShareViewController.hpp"

int main(int argc, char** argv) {
  return platform::extensionMain(argc, argv,
                                 platform::principalClass<KelpWordShare::ShareViewController>(),
                                 KelpWordShare::entitlements);
}
