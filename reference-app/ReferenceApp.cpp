#include "reference-app/ReferenceApp.hpp"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "DidedaZiv/DropPasteboard.hpp"
#include "platform/ItemProvider.hpp"
#include "platform/MainThread.hpp"
#include "platform/UTType.hpp"
#include "reference-app/DropTarget.hpp"
#include "reference-app/LocalFile.hpp"

namespace reference_app {
namespace {

using DidedaZiv::AudioIntake::Outcome;

constexpr guint kSecondsPerDay = 24 * 60 * 60;

// Written and flushed at once: one write for any number of lines.
void sayLines(const std::string& lines) {
  std::fwrite(lines.data(), 1, lines.size(), stdout);
  std::fflush(stdout);
}

void say(const std::string& line) { sayLines(line + "\n"); }

bool isRegularFile(const platform::Url& file) {
  std::error_code ignored;
  return std::filesystem::is_regular_file(file.path(), ignored);
}

// The inbox as a folder of its own, opened once: never through a symbolic link, which would hand
// the sweep someone else's folder. -1 when it is not one (or cannot be opened).
int openRealFolder(const platform::Url& folder) {
  return ::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Sweeps `inbox` through the folder opened above, by its descriptor's name in /proc: a link
// swapped in at the inbox's path after the check is never followed.
void sweepRealFolder(const platform::Url& inbox, double olderThan,
                     const std::vector<platform::Url>& keeping) {
  const int folder = openRealFolder(inbox);
  if (folder < 0) {
    std::fprintf(stderr, "kelpword-reference: not sweeping %s: it is not a folder of its own\n",
                 inbox.path().c_str());
    return;
  }
  const auto opened = platform::Url::fileURL("/proc/self/fd/" + std::to_string(folder), true);
  DidedaZiv::AudioIntake::sweep(opened, olderThan, keeping, std::chrono::system_clock::now());
  ::close(folder);
  say("swept: " + inbox.path());
}

// True for a file whose extension names an audio or video type.
bool isRecording(const platform::Url& file) {
  return platform::UTType::forFilenameExtension(file.pathExtension(),
                                                platform::UTType::audiovisualContent())
      .has_value();
}

// What a drop delivers while DropPasteboard::read runs: the dropped files, to be received into a
// per-share folder of their own once it returns.
struct DropInProgress {
  bool reading = true;
  std::vector<platform::Url> files;
};

}  // namespace

ReferenceApp::ReferenceApp(GtkApplication* application, Settings settings,
                           std::function<void()> changed, std::function<void()> closed)
    : settings_(std::move(settings)),
      window_(std::make_unique<ReceivedFilesWindow>(application, std::move(closed))),
      changed_(std::move(changed)) {}

ReferenceApp::~ReferenceApp() {
  if (dailySweep_ != 0) g_source_remove(dailySweep_);
}

void ReferenceApp::start() {
  fileWork_.addOperation([inbox = settings_.inbox] {
    std::error_code error;
    std::filesystem::create_directories(inbox.path(), error);
    if (error) {
      std::fprintf(stderr, "kelpword-reference: cannot make the inbox %s: %s\n",
                   inbox.path().c_str(), error.message().c_str());
    }
  });
  acceptDrops(window_->dropArea(),
              [weak = weak_from_this()](const platform::Pasteboard& pasteboard) {
                const auto app = weak.lock();
                return app && app->readDrop(pasteboard);
              });
  dailySweep_ = g_timeout_add_seconds(
      kSecondsPerDay,
      [](gpointer self) -> gboolean {
        static_cast<ReferenceApp*>(self)->sweepInbox();
        return G_SOURCE_CONTINUE;
      },
      this);
}

void ReferenceApp::open(const std::vector<std::string>& uris,
                        const std::optional<std::string>& startupId) {
  const std::string host = g_get_host_name();
  const std::string couldNotGet(DidedaZiv::AudioIntake::couldNotGetMessage);
  std::string lines;
  bool problem = false;
  bool added = false;
  for (const auto& uri : uris) {
    const auto file = localFile(uri, host);
    if (!file) {
      lines += "refused: " + uri + "\n";
      problem = true;
    } else if (!isRegularFile(*file)) {
      lines += "problem: " + couldNotGet + "\n";
      problem = true;
    } else if (received_.add(*file)) {
      lines += "received: " + file->path() + "\n";
      added = true;
    }
  }
  sayLines(lines);
  // Laid out once for the whole call, however many files it brought.
  if (added) window_->showFiles(received_.groups());
  if (problem) window_->showProblem(couldNotGet);
  window_->present(startupId);
}

void ReferenceApp::present(const std::optional<std::string>& startupId) {
  window_->present(startupId);
}

void ReferenceApp::sweepInbox() {
  // The files shown now are kept; the sweep itself is file work, off the main thread.
  fileWork_.addOperation(
      [inbox = settings_.inbox, olderThan = settings_.sweepAfter, keeping = received_.files()] {
        sweepRealFolder(inbox, olderThan, keeping);
      });
}

bool ReferenceApp::readDrop(const platform::Pasteboard& pasteboard) {
  auto drop = std::make_shared<DropInProgress>();
  const auto& inbox = settings_.inbox;
  const bool taken = DidedaZiv::DropPasteboard::read(
      pasteboard, [&inbox] { return DidedaZiv::AudioIntake::newFolder(inbox); },
      [weak = weak_from_this(), drop](const Outcome& outcome) {
        if (drop->reading && outcome.fileURL() != nullptr) {
          drop->files.push_back(*outcome.fileURL());
          return;
        }
        // A promised file, received and named in the inbox, or the drop's one problem.
        if (const auto app = weak.lock()) {
          app->show(outcome);
          app->changed_();
        }
      });
  drop->reading = false;
  if (!drop->files.empty()) platform::startOnMain(receiveDropped(shared_from_this(), drop->files));
  return taken;
}

// Dropped files stay where they are: a copy of each recording goes into a per-share folder of the
// drop's own, as a share's would. The import copies any file it is handed by location, so what is
// not audio or video by its name is turned away here, with the message the user should see.
asio::awaitable<void> ReferenceApp::receiveDropped(std::shared_ptr<ReferenceApp> app,
                                                   std::vector<platform::Url> files) {
  std::vector<std::optional<Outcome>> outcomes(files.size());
  std::vector<std::shared_ptr<platform::ItemProvider>> providers;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (isRecording(files[i])) {
      providers.push_back(platform::ItemProvider::forFile(files[i]));
    } else {
      outcomes[i] = Outcome::problem(std::string(DidedaZiv::AudioIntake::notAudioMessage));
    }
  }
  if (!providers.empty()) {
    try {
      const auto folder = DidedaZiv::AudioIntake::newFolder(app->settings_.inbox);
      auto received = co_await DidedaZiv::AudioIntake::files(std::move(providers), folder,
                                                             /*copyFileURLs=*/true);
      auto next = received.begin();
      for (auto& outcome : outcomes) {
        if (!outcome) outcome = std::move(*next++);
      }
      // Gone only when empty: when nothing arrived, no empty folder waits for the sweep.
      std::error_code ignored;
      std::filesystem::remove(folder.path(), ignored);
    } catch (const std::system_error&) {
      for (auto& outcome : outcomes) {
        if (!outcome) {
          outcome = Outcome::problem(std::string(DidedaZiv::AudioIntake::couldNotGetMessage));
        }
      }
    }
  }
  for (const auto& outcome : outcomes) app->show(*outcome);
  app->changed_();
}

void ReferenceApp::show(const Outcome& outcome) {
  if (const auto* file = outcome.fileURL()) showFile(*file);
  if (const auto* message = outcome.problemMessage()) showProblem(*message);
}

void ReferenceApp::showFile(const platform::Url& file) {
  if (!received_.add(file)) return;
  say("received: " + file.path());
  window_->showFiles(received_.groups());
}

void ReferenceApp::showProblem(const std::string& message) {
  say("problem: " + message);
  window_->showProblem(message);
}

}  // namespace reference_app
