#include "platform/app/extension/ExtensionMain.hpp"

#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "platform/Callback.hpp"
#include "platform/CopyCancellation.hpp"
#include "platform/FileManager.hpp"
#include "platform/ItemProvider.hpp"
#include "platform/MainThread.hpp"
#include "platform/app/extension/ExtensionContext.hpp"
#include "platform/app/extension/ShareArguments.hpp"
#include "platform/app/extension/SharedItems.hpp"
#include "platform/app/extension/SheetRendererChoice.hpp"
#include "platform/app/extension/StandardInputSpool.hpp"
#include "platform/app/sandbox/AppSandbox.hpp"
#include "platform/detail/Posix.hpp"

namespace platform {
namespace {

void reopenClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one: those below it are open by now.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

// The runtime's own temporary folder, removed with its contents at the end.
class TemporaryFolder {
 public:
  TemporaryFolder() : path_(posix::makeTemporaryFolder("share-extension.")) {}
  ~TemporaryFolder() {
    try {
      fileManager::removeItem(url());
    } catch (const std::system_error&) {
      // Nothing to report it to at the end; $TMPDIR is cleaned up in time.
    }
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  Url url() const { return Url::fileURL(path_, /*isDirectory=*/true); }

 private:
  std::string path_;
};

void cancelByUser(ExtensionContext& context) {
  context.cancelRequest({std::string(cocoaErrorDomain), userCancelledErrorCode});
}

asio::awaitable<ExtensionContext::State> presentSheet(
    const std::shared_ptr<ViewController>& controller,
    const std::shared_ptr<ExtensionContext>& context, SheetRenderer& renderer,
    asio::signal_set& interruptions) {
  // Ctrl-C, a closed terminal or a polite kill: the user's Close, by other means.
  interruptions.async_wait([context](const std::error_code& error, int /*signal*/) {
    if (!error) cancelByUser(*context);
  });
  const auto state =
      co_await awaitCallback<ExtensionContext::State>([&](Resume<ExtensionContext::State> resume) {
        context->setEndHandler([resume](ExtensionContext::State ended) { resume(ended); });
        renderer.setTitle(controller->title());
        renderer.show(controller->view(), [context] { cancelByUser(*context); });
        controller->viewDidAppear();
      });
  interruptions.cancel();
  renderer.close();
  co_return state;
}

std::string programName(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) return "share-extension";
  return std::filesystem::path(argv[0]).filename().string();
}

}  // namespace

int extensionMain(int argc, char** argv, const PrincipalControllerFactory& makeController) {
  return extensionMain(argc, argv, makeController, SandboxEntitlements{});
}

int extensionMain(int argc, char** argv, const PrincipalControllerFactory& makeController,
                  const SandboxEntitlements& entitlements) {
  reopenClosedStandardDescriptors();
  // A reader that went away must not end the share half-way: writes just fail.
  ::signal(SIGPIPE, SIG_IGN);

  const std::string program = programName(argc, argv);
  ShareArguments arguments;
  try {
    arguments =
        parseShareArguments(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  } catch (const std::invalid_argument& usage) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), usage.what(),
                 program.c_str());
    return 2;
  }
  if (arguments.help) {
    std::fputs(shareUsage(program).c_str(), stdout);
    return 0;
  }
  if (arguments.version) {
    std::fputs(shareVersion(program).c_str(), stdout);
    return 0;
  }

  bool readsStandardInput = false;
  for (const auto& item : arguments.items) {
    readsStandardInput =
        readsStandardInput || item.kind == ShareArguments::Item::Kind::standardInput;
  }
  // Before any shared item is read; the sandbox outlives the items' temporary folder.
  std::unique_ptr<AppSandbox> sandbox;
  try {
    sandbox = AppSandbox::enter(entitlements, program);
  } catch (const std::system_error& failure) {
    std::fprintf(stderr, "%s: cannot enter the sandbox: %s\n", program.c_str(), failure.what());
    return 1;
  }
  // A window's display connection is made here, before the sandbox refuses new sockets.
  const auto renderer = chooseSheetRenderer(
      readsStandardInput, arguments.noWindow ? WindowSheet::refused : WindowSheet::allowed);
  if (sandbox) {
    try {
      sandbox->refuseNewConnections();
    } catch (const std::system_error& failure) {
      std::fprintf(stderr, "%s: cannot close the sandbox: %s\n", program.c_str(), failure.what());
      return 1;
    }
  }
  // Taken from here on by the main loop; the broker, forked before, keeps its own dispositions.
  asio::signal_set interruptions(mainContext(), SIGINT, SIGTERM, SIGHUP);
  std::optional<TemporaryFolder> temporary;
  std::shared_ptr<StandardInputSpool> standardInput;
  if (readsStandardInput) {
    try {
      temporary.emplace();
      standardInput = std::make_shared<StandardInputSpool>(temporary->url());
    } catch (const std::system_error&) {
      // The item fails to load; the sheet says so.
    }
  }

  auto context = std::make_shared<ExtensionContext>(sharedItems(arguments, standardInput));
  auto controller = makeController(std::nullopt, std::nullopt);
  controller->setExtensionContext(context);
  const auto state = runMain(presentSheet(controller, context, *renderer, interruptions));
  // A request can end while standard input is still being read or a file copied: stop the
  // reading and the copying, and let the loads finish before their folders go.
  if (standardInput) standardInput->cancel();
  copyCancellation::cancelAll();
  ItemProvider::finishLoads();
  return state == ExtensionContext::State::completed ? 0 : 1;
}

}  // namespace platform
