#include "platform/app/workspace/Workspace.hpp"

#include <cerrno>
#include <mutex>
#include <string>
#include <utility>

#include <sys/stat.h>
#include <asio/post.hpp>

#include "platform/app/workspace/DesktopEntry.hpp"

namespace platform {
namespace {

bool isRegularFile(const Url& url) {
  struct stat info {};
  return ::stat(url.path().c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

struct SharedWorkspace {
  std::mutex mutex;
  std::shared_ptr<Workspace> workspace;
};

SharedWorkspace& sharedWorkspace() {
  static SharedWorkspace shared;
  return shared;
}

}  // namespace

Workspace::Workspace(std::shared_ptr<ProgramLauncher> launcher) : launcher_(std::move(launcher)) {}

// Waits for requests under way: their completions must not outlive the workspace's thread.
Workspace::~Workspace() { requests_.join(); }

std::shared_ptr<Workspace> Workspace::shared() {
  auto& shared = sharedWorkspace();
  const std::lock_guard lock(shared.mutex);
  if (!shared.workspace) shared.workspace = std::make_shared<Workspace>();
  return shared.workspace;
}

std::shared_ptr<Workspace> Workspace::replaceShared(std::shared_ptr<Workspace> workspace) {
  auto& shared = sharedWorkspace();
  const std::lock_guard lock(shared.mutex);
  std::swap(shared.workspace, workspace);
  return workspace;
}

void Workspace::openURLs(std::vector<Url> urls, const Url& applicationURL,
                         const OpenConfiguration& /*configuration*/, OpenCompletion completion) {
  asio::post(requests_, [launcher = launcher_, urls = std::move(urls), applicationURL,
                         completion = std::move(completion)] {
    std::shared_ptr<RunningApplication> first;
    std::optional<std::error_code> error;
    try {
      const auto started = launcher->open(applicationURL, urls);
      if (!started.empty()) {
        const pid_t pid = started.front();
        first = RunningApplication::withProcessIdentifier(pid);
        if (!first) {
          // Ended already: still the program that was started.
          first = std::make_shared<RunningApplication>(pid, -1, std::nullopt, std::nullopt,
                                                       std::nullopt);
        }
      }
    } catch (const std::system_error& failure) {
      error = failure.code();
    }
    completion(std::move(first), error);
  });
}

std::optional<Url> Workspace::urlForApplication(std::string_view bundleIdentifier) const {
  const std::string name = std::string(bundleIdentifier) + ".desktop";
  for (const auto& folder : applicationFolders()) {
    const Url entry = folder.appendingPathComponent(name);
    if (!isRegularFile(entry)) continue;
    try {
      if (DesktopEntry::read(entry).isHidden()) return std::nullopt;
    } catch (const std::system_error&) {
      continue;
    }
    return entry;
  }
  return std::nullopt;
}

}  // namespace platform
