// A stand-in for the main application: it links the intake module and calls into it.
#include <cstdio>

#include "DidedaZiv/AudioIntake.hpp"

int main() {
  namespace intake = DidedaZiv::AudioIntake;
  const auto inbox = intake::receivedFolder(platform::Url::fileURL("/home/someone", true));
  std::printf("%s\n", inbox.path().c_str());
  return inbox.path() == "/home/someone/Library/Application Support/com.brenvik.kelpword/Received Files"
             ? 0
             : 1;
}
