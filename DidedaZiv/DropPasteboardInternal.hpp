#pragma once

// Inside the intake module only: not part of its public interface.

#include <functional>
#include <optional>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/Pasteboard.hpp"
#include "platform/UTType.hpp"
#include "platform/Url.hpp"

namespace DidedaZiv::DropPasteboard {

// Gives the received file at `location` its clean name (AudioIntake::fileName of its name and
// `type`) inside the folder where it lies, and returns its location afterwards. A name that is
// clean already leaves the disk untouched. The rename never replaces: when the clean name is taken,
// or the rename fails for any other reason, the file keeps its received name and location.
platform::Url named(const platform::Url& location, const std::optional<platform::UTType>& type);

namespace detail {

using Naming = std::function<platform::Url(const platform::Url& location,
                                           const std::optional<platform::UTType>& type)>;

// read() with the naming of promised files given; read() passes named(). `naming` runs on the
// readers' queue, so a test can see where and how readers run.
bool read(const platform::Pasteboard& pasteboard, const std::function<platform::Url()>& inbox,
          std::function<void(AudioIntake::Outcome)> deliver, const Naming& naming);

}  // namespace detail
}  // namespace DidedaZiv::DropPasteboard
