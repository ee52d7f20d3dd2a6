#pragma once

#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/CopyProgress.hpp"
#include "platform/ItemProvider.hpp"
#include "platform/Url.hpp"
#include "platform/app/views/ProgressIndicator.hpp"
#include "platform/app/views/TextField.hpp"
#include "platform/app/views/ViewController.hpp"
#include "platform/app/workspace/Bundle.hpp"

namespace KelpWordShare {

// The main application's bundle identifier.
inline constexpr std::string_view kelpWordIdentifier = "com.brenvik.kelpword";
// Shown when the workspace could not open the received files with KelpWord.
inline constexpr std::string_view handOffFailedMessage =
    "KelpWord didn\u2019t open. Open KelpWord, then drop the recording on the Files tab.";

// The share extension's one controller. Its sheet shows "Sending to KelpWord…" while the shared
// items are received into a new folder in KelpWord's inbox, then hands the received files to
// KelpWord and completes the request; or shows one message with a Close button, which cancels
// the request. A receipt that takes more than a moment shows, beneath the status line, a progress
// bar of the bytes copied so far, updated at most a few times a second.
//
// Everything runs on the main thread. Live in a std::shared_ptr: the share's tasks and the
// workspace's completion hold the controller until they end.
class ShareViewController final : public platform::ViewController {
 public:
  ShareViewController(std::optional<std::string> nibName, std::optional<platform::Bundle> bundle);
  ~ShareViewController() override;

  // A 340 by 90 point view with the status line centred, wrapping within 20 points of either side.
  void loadView() override;
  // The first call receives the shared items (in a task that starts after this returns); later
  // calls do nothing.
  void viewDidAppear() override;

 private:
  using Providers = std::vector<std::shared_ptr<platform::ItemProvider>>;

  // The Close button's action: cancels the request as cancelled by the user.
  void closeSheet();
  // Shows `message` in place of the status line, with a Close button that Return presses.
  void fail(const std::string& message);
  // Asks the workspace to open `urls` with KelpWord, bringing it to the front.
  void open(std::vector<platform::Url> urls);
  // Where KelpWord lies: a running instance's bundle, the .app three levels above this
  // extension's bundle, the installed application, or else that three-levels-up location.
  static platform::Url kelpWordApp();

  Providers gatherProviders() const;
  std::shared_ptr<ShareViewController> self();
  static asio::awaitable<void> receive(std::shared_ptr<ShareViewController> controller,
                                       platform::Url inbox, Providers providers);
  // The import's progress, watched on the main thread while the import runs. Made before the
  // import starts: its copies may count their bytes before the watch first runs.
  struct ProgressWatch {
    explicit ProgressWatch(asio::io_context& context)
        : timer(context), baseline(platform::copyProgress()) {}
    asio::steady_timer timer;
    const platform::CopyProgress baseline;  // the counters before this import's copies
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool importing = true;  // false once the import is over, whether or not the watch waits
  };
  // Shows how far the copies begun since the watch was made have come, until the import is over.
  static asio::awaitable<void> watchProgress(std::shared_ptr<ShareViewController> controller,
                                             std::shared_ptr<ProgressWatch> watch);
  void showProgress();
  void hideProgress();
  static asio::awaitable<void> finishHandOff(std::shared_ptr<ShareViewController> controller,
                                             std::optional<std::error_code> error);

  const std::shared_ptr<platform::TextField> label_;
  const std::shared_ptr<platform::ProgressIndicator> progress_;
  bool started_;
};

}  // namespace KelpWordShare
