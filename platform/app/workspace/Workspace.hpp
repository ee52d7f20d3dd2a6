#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include <asio/thread_pool.hpp>

#include "platform/Url.hpp"
#include "platform/app/workspace/ProgramLauncher.hpp"
#include "platform/app/workspace/RunningApplication.hpp"

namespace platform {

// How the workspace opens an application.
class OpenConfiguration {
 public:
  // Whether the application comes to the front. A program that Linux starts comes to the front
  // by itself; the setting is recorded.
  bool activates() const { return activates_; }
  void setActivates(bool activates) { activates_ = activates; }

 private:
  bool activates_ = true;
};

// The desktop's services for applications: opening files with one, and finding one.
class Workspace {
 public:
  // Called once, on a thread of the workspace's own, with the first started program (or none)
  // and the error that kept a program from starting (or none).
  using OpenCompletion = std::function<void(std::shared_ptr<RunningApplication> application,
                                            std::optional<std::error_code> error)>;

  explicit Workspace(std::shared_ptr<ProgramLauncher> launcher = ProgramLauncher::direct());
  virtual ~Workspace();
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // The process's workspace.
  static std::shared_ptr<Workspace> shared();
  // Puts `workspace` in the shared one's place and returns the one it replaces: for a runtime
  // that starts programs another way, and for tests.
  static std::shared_ptr<Workspace> replaceShared(std::shared_ptr<Workspace> workspace);

  // Opens `urls`, in order, in one request, with the application at `applicationURL`, and
  // returns at once, through the launcher (ProgramLauncher::open()): over the session bus where
  // the application is D-Bus activatable or owns its name there, else by starting its program.
  // The completion reports an error when the location holds no application, a program could not
  // be started (its errno: ENOENT, EACCES, …), or the call over the bus failed.
  virtual void openURLs(std::vector<Url> urls, const Url& applicationURL,
                        const OpenConfiguration& configuration, OpenCompletion completion);

  // The installed application with that identifier: the desktop entry `<identifier>.desktop`
  // in the first of applicationFolders() that has one; none when there is none, or it is Hidden.
  virtual std::optional<Url> urlForApplication(std::string_view bundleIdentifier) const;

 private:
  std::shared_ptr<ProgramLauncher> launcher_;
  asio::thread_pool requests_{1};
};

}  // namespace platform
