#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/ItemProvider.hpp"
#include "platform/UTType.hpp"
#include "platform/Url.hpp"

// Receiving recordings: the outcome of one item and the messages users see, the inbox and its
// per-share folders, naming and copying received files, importing shared items, and sweeping old
// entries out of a folder. Stateless; every operation may be called from any thread unless it says
// otherwise.
namespace DidedaZiv::AudioIntake {

// What became of one shared or dropped item: a received file, or a problem with the complete
// message for the user. A plain value, made on any thread and copied freely.
class Outcome {
 public:
  static Outcome file(platform::Url url);
  static Outcome problem(std::string message);

  const platform::Url* fileURL() const noexcept;       // non-null for a file outcome
  const std::string* problemMessage() const noexcept;  // non-null for a problem outcome

  // Files are equal when their URLs are (by text); problems when their messages are canonically
  // equivalent Unicode text. A file never equals a problem.
  friend bool operator==(const Outcome& a, const Outcome& b);

 private:
  explicit Outcome(std::variant<platform::Url, std::string> value) : value_(std::move(value)) {}
  std::variant<platform::Url, std::string> value_;
};

// The three texts users see, UTF-8, apostrophes U+2019.
inline constexpr std::string_view notAudioMessage =
    "KelpWord can only turn audio and video into text, and what you dropped isn\u2019t either. "
    "Drop a recording or an audio file.";
inline constexpr std::string_view couldNotGetMessage =
    "KelpWord couldn\u2019t get that recording from the other app. Try again, or export it as a "
    "file and drop the file here.";
inline constexpr std::string_view openKelpWordFirstMessage =
    "Open KelpWord once first, so it can receive recordings. Then share the recording again.";

// None when a folder stands at `receivedFolder`; otherwise (nothing there, a file, an unreachable
// path) openKelpWordFirstMessage. Never throws.
std::optional<std::string> shareProblem(const platform::Url& receivedFolder);

// The current user's home folder from the user database, its text unchanged; without a record or
// a home in it, the process's home ($HOME, or "/"). Read afresh each time.
platform::Url realHome();

// The inbox under `home`: "Library/Application Support/com.brenvik.kelpword/Received Files", as a
// directory URL. Touches no disk.
platform::Url receivedFolder(const platform::Url& home);

// Creates a new folder inside `in`, named by a new upper-case UUID, creating `in` and the folders
// above it as needed. Throws std::system_error with the system's code.
platform::Url newFolder(const platform::Url& in);

// The first identifier, in the given order, that names an audio or video type; none otherwise.
std::optional<platform::UTType> audioType(const std::vector<std::string>& identifiers);

// A clean file name from the source's suggestion: trimmed, "/", ":" and NUL replaced with "-",
// "Recording" in front of an empty name or one that begins with ".", completed with the
// preferred extension of `type` unless the name's own extension already marks audio or video.
// Never empty; always valid UTF-8.
std::string fileName(const std::optional<std::string>& suggested,
                     const std::optional<platform::UTType>& type);

// Copies `source` into the folder `to` (created when missing) under `name`, or "stem 2.ext",
// "stem 3.ext", … when that is taken, and returns the copy's location. Never replaces anything;
// a name too long for the file system has its stem shortened to fit. Throws std::system_error
// with the system's code; a failed copy leaves nothing behind.
platform::Url copyIn(const platform::Url& source, const platform::Url& to, const std::string& name);

// Receives every provider's item into the folder `into`, one after another, and returns one
// outcome per provider, in order. Runs on the main thread whatever executor awaits it; naming
// and copying happen on the providers' threads. With `copyFileURLs` false, files offered by
// location are reported where they lie. Never fails.
asio::awaitable<std::vector<Outcome>> files(std::vector<std::shared_ptr<platform::ItemProvider>> from,
                                            platform::Url into, bool copyFileURLs);

// Removes every direct entry of `folder` whose newest date (creation or content modification) is
// more than `olderThan` seconds before `now`, unless a location in `keeping` lies strictly inside
// it. Silent: failures keep the entry concerned and the sweep goes on.
void sweep(const platform::Url& folder, double olderThan, const std::vector<platform::Url>& keeping,
           std::chrono::system_clock::time_point now);

}  // namespace DidedaZiv::AudioIntake
