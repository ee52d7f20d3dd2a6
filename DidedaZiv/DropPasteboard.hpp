#pragma once

#include <functional>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/Pasteboard.hpp"

namespace DidedaZiv::DropPasteboard {

// Reads a drop, on the main thread. File locations are delivered at once, as they are, before
// read returns, and file promises beside them are ignored. Otherwise each promised file is
// received into the folder that `inbox` returns (called once; it may throw), given a clean name,
// and delivered later, by a task on the main thread. True when the drop carried files or file
// promises; false when it carried neither, and then nothing is delivered.
bool read(const platform::Pasteboard& pasteboard, const std::function<platform::Url()>& inbox,
          std::function<void(AudioIntake::Outcome)> deliver);

}  // namespace DidedaZiv::DropPasteboard
