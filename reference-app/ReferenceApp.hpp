#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtk/gtk.h>
#include <asio/awaitable.hpp>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/OperationQueue.hpp"
#include "platform/Pasteboard.hpp"
#include "platform/Url.hpp"
#include "reference-app/ReceivedFiles.hpp"
#include "reference-app/ReceivedFilesWindow.hpp"

namespace reference_app {

// KelpWord's receiving end, on the intake library: shows the files it is asked to open, reads
// what users drop into fresh per-share folders of the inbox, and sweeps the inbox. Lives on the
// main thread, where the toolkit and the intake library's deliveries run; making the inbox and
// sweeping it run on a background thread of its own, in the order they were asked for.
//
// Every file shown and every problem is also written to standard output, one line each
// ("received: PATH", "problem: MESSAGE"), and so is each URI refused for not naming a file on this
// computer ("refused: URI") and each sweep ("swept: INBOX"), for whoever started it.
class ReferenceApp : public std::enable_shared_from_this<ReferenceApp> {
 public:
  struct Settings {
    platform::Url inbox;    // the folder the sweep keeps tidy, and drops are received into
    double sweepAfter = 0;  // seconds a per-share folder is kept
  };

  // `changed` runs after the window changed from outside the toolkit's own loop (a delivery from
  // the intake library), so that the toolkit draws it; `closed` once the window has gone.
  ReferenceApp(GtkApplication* application, Settings settings, std::function<void()> changed,
               std::function<void()> closed);
  ~ReferenceApp();
  ReferenceApp(const ReferenceApp&) = delete;
  ReferenceApp& operator=(const ReferenceApp&) = delete;

  // Makes the inbox where there is none, takes drops and sweeps the inbox now and daily. The window
  // shows at the first open() or present().
  void start();
  // URIs to open (from the command line or another instance), all in one go, in time linear in
  // their number: each local file is shown, a file that is not there (or not a file) is a
  // problem, and a URI that names no file on this computer is refused. Then the window is
  // raised, with `startupId` where the desktop gave one.
  void open(const std::vector<std::string>& uris,
            const std::optional<std::string>& startupId = std::nullopt);
  void present(const std::optional<std::string>& startupId = std::nullopt);
  // Removes old per-share folders from the inbox, never one holding a file shown when called. An
  // inbox that is not a folder of its own (a symbolic link) is left alone.
  void sweepInbox();

 private:
  bool readDrop(const platform::Pasteboard& pasteboard);
  static asio::awaitable<void> receiveDropped(std::shared_ptr<ReferenceApp> app,
                                              std::vector<platform::Url> files);
  void show(const DidedaZiv::AudioIntake::Outcome& outcome);
  void showFile(const platform::Url& file);
  void showProblem(const std::string& message);

  Settings settings_;
  ReceivedFiles received_;
  std::unique_ptr<ReceivedFilesWindow> window_;
  std::function<void()> changed_;
  unsigned dailySweep_ = 0;
  // Last, so that it goes first: its destruction waits for the file work under way.
  platform::OperationQueue fileWork_{1};
};

}  // namespace reference_app
