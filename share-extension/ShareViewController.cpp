#include "share-extension/ShareViewController.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/CopyProgress.hpp"
#include "platform/MainThread.hpp"
#include "platform/app/extension/ExtensionContext.hpp"
#include "platform/app/views/Button.hpp"
#include "platform/app/views/ByteCountFormatter.hpp"
#include "platform/app/views/LayoutConstraint.hpp"
#include "platform/app/workspace/RunningApplication.hpp"
#include "platform/app/workspace/Workspace.hpp"

namespace KelpWordShare {

namespace AudioIntake = DidedaZiv::AudioIntake;
using platform::LayoutConstraint;
using platform::Url;

ShareViewController::ShareViewController(std::optional<std::string> nibName,
                                         std::optional<platform::Bundle> bundle)
    : platform::ViewController(std::move(nibName), std::move(bundle)),
      label_(platform::TextField::wrappingLabel("Sending to KelpWord\u2026")),
      progress_(std::make_shared<platform::ProgressIndicator>()),
      started_(false) {
  setTitle("KelpWord");
}

ShareViewController::~ShareViewController() = default;

std::shared_ptr<ShareViewController> ShareViewController::self() {
  return std::static_pointer_cast<ShareViewController>(shared_from_this());
}

void ShareViewController::loadView() {
  auto root = std::make_shared<platform::View>(platform::Rect{{0, 0}, {340, 90}});
  label_->setTranslatesAutoresizingMaskIntoConstraints(false);
  label_->setAlignment(platform::TextAlignment::center);
  root->addSubview(label_);
  LayoutConstraint::activateConstraints({
      label_->centerXAnchor().constraintEqualTo(root->centerXAnchor()),
      label_->centerYAnchor().constraintEqualTo(root->centerYAnchor()),
      label_->leadingAnchor().constraintGreaterThanOrEqualTo(root->leadingAnchor(), 20),
      label_->trailingAnchor().constraintLessThanOrEqualTo(root->trailingAnchor(), -20),
  });
  setView(std::move(root));
}

void ShareViewController::fail(const std::string& message) {
  label_->setStringValue(message);
  // The button must not own the controller that owns it.
  auto button = platform::Button::withTitle("Close", [weak = weak_from_this()] {
    if (auto controller = std::static_pointer_cast<ShareViewController>(weak.lock())) {
      controller->closeSheet();
    }
  });
  button->setKeyEquivalent("\r");
  button->setTranslatesAutoresizingMaskIntoConstraints(false);
  const auto root = view();
  root->addSubview(button);
  LayoutConstraint::activateConstraints({
      button->trailingAnchor().constraintEqualTo(root->trailingAnchor(), -16),
      button->bottomAnchor().constraintEqualTo(root->bottomAnchor(), -12),
  });
}

void ShareViewController::closeSheet() {
  const auto context = extensionContext();
  if (!context) return;
  context->cancelRequest(
      {std::string(platform::cocoaErrorDomain), platform::userCancelledErrorCode});
}

ShareViewController::Providers ShareViewController::gatherProviders() const {
  Providers providers;
  const auto context = extensionContext();
  if (!context) return providers;
  for (const auto& item : context->inputItems()) {
    const auto* extensionItem = dynamic_cast<const platform::ExtensionItem*>(item.get());
    // One item of another kind makes the whole list unusable, not just that item.
    if (!extensionItem) return {};
    if (const auto& attachments = extensionItem->attachments()) {
      providers.insert(providers.end(), attachments->begin(), attachments->end());
    }
  }
  return providers;
}

void ShareViewController::viewDidAppear() {
  platform::ViewController::viewDidAppear();
  if (started_) return;
  started_ = true;
  auto providers = gatherProviders();
  auto inbox = AudioIntake::receivedFolder(AudioIntake::realHome());
  if (const auto problem = AudioIntake::shareProblem(inbox)) {
    fail(*problem);
    return;
  }
  platform::startOnMain(receive(self(), std::move(inbox), std::move(providers)));
}

asio::awaitable<void> ShareViewController::receive(std::shared_ptr<ShareViewController> controller,
                                                   Url inbox, Providers providers) {
  std::optional<Url> folder;
  try {
    folder = AudioIntake::newFolder(inbox);
  } catch (const std::system_error&) {
    controller->fail(std::string(AudioIntake::couldNotGetMessage));
    co_return;
  }
  auto watch = std::make_shared<ProgressWatch>(platform::mainContext());
  platform::startOnMain(watchProgress(controller, watch));
  const auto outcomes =
      co_await AudioIntake::files(std::move(providers), *folder, /*copyFileURLs=*/true);
  // The watch may not have begun to wait yet: the flag ends it then, the cancel otherwise.
  watch->importing = false;
  watch->timer.cancel();
  controller->hideProgress();

  std::vector<Url> received;
  for (const auto& outcome : outcomes) {
    if (const auto* url = outcome.fileURL()) received.push_back(*url);
  }
  if (!received.empty()) {
    controller->open(std::move(received));
    co_return;
  }
  for (const auto& outcome : outcomes) {
    if (const auto* message = outcome.problemMessage()) {
      controller->fail(*message);
      co_return;
    }
  }
  controller->fail(std::string(AudioIntake::notAudioMessage));
}

namespace {

// A share that ends within this shows no bar at all.
constexpr auto progressDelay = std::chrono::milliseconds(500);
// At most four drawings a second: a terminal redraws its whole sheet each time.
constexpr auto progressPeriod = std::chrono::milliseconds(250);

platform::CopyProgress since(const platform::CopyProgress& now,
                             const platform::CopyProgress& then) {
  // Copies of an earlier batch that failed meanwhile took their bytes out again.
  return {now.completed - std::min(now.completed, then.completed),
          now.total - std::min(now.total, then.total)};
}

}  // namespace

asio::awaitable<void> ShareViewController::watchProgress(
    std::shared_ptr<ShareViewController> controller, std::shared_ptr<ProgressWatch> watch) {
  auto& timer = watch->timer;
  timer.expires_after(progressDelay);
  while (watch->importing) {
    std::error_code ended;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ended));
    if (ended || !watch->importing) co_return;  // the import is over
    const auto progress = since(platform::copyProgress(), watch->baseline);
    if (progress.total > 0) {
      const std::chrono::duration<double> elapsed =
          std::chrono::steady_clock::now() - watch->started;
      const auto rate =
          static_cast<std::uint64_t>(static_cast<double>(progress.completed) / elapsed.count());
      controller->progress_->setFraction(static_cast<double>(progress.completed) /
                                         static_cast<double>(progress.total));
      controller->progress_->setDetail(
          platform::byteCountFormatter::progress(progress.completed, progress.total, rate));
      controller->showProgress();
    }
    timer.expires_after(progressPeriod);
  }
}

void ShareViewController::showProgress() {
  const auto root = view();
  if (progress_->superview() == root) return;
  progress_->setTranslatesAutoresizingMaskIntoConstraints(false);
  root->addSubview(progress_);
  LayoutConstraint::activateConstraints({
      progress_->leadingAnchor().constraintEqualTo(root->leadingAnchor(), 20),
      progress_->trailingAnchor().constraintEqualTo(root->trailingAnchor(), -20),
      progress_->bottomAnchor().constraintEqualTo(root->bottomAnchor(), -12),
  });
}

void ShareViewController::hideProgress() { progress_->removeFromSuperview(); }

void ShareViewController::open(std::vector<Url> urls) {
  platform::OpenConfiguration configuration;
  configuration.setActivates(true);
  const auto workspace = platform::Workspace::shared();
  const auto application = kelpWordApp();
  workspace->openURLs(
      std::move(urls), application, configuration,
      [controller = self()](std::shared_ptr<platform::RunningApplication> /*opened*/,
                            std::optional<std::error_code> error) {
        platform::startOnMain(finishHandOff(controller, error));
      });
}

asio::awaitable<void> ShareViewController::finishHandOff(
    std::shared_ptr<ShareViewController> controller, std::optional<std::error_code> error) {
  if (error) {
    controller->fail(std::string(handOffFailedMessage));
    co_return;
  }
  if (const auto context = controller->extensionContext()) context->completeRequest(std::nullopt);
}

Url ShareViewController::kelpWordApp() {
  for (const auto& running :
       platform::RunningApplication::runningApplications(kelpWordIdentifier)) {
    if (running->isTerminated()) continue;
    // Only the first live instance counts, with a bundle location or without.
    if (running->bundleURL()) return *running->bundleURL();
    break;
  }
  const Url enclosing = platform::Bundle::main()
                            .bundleURL()
                            .deletingLastPathComponent()
                            .deletingLastPathComponent()
                            .deletingLastPathComponent();
  if (enclosing.pathExtension() == "app") return enclosing;
  if (auto installed = platform::Workspace::shared()->urlForApplication(kelpWordIdentifier)) {
    return *installed;
  }
  return enclosing;
}

}  // namespace KelpWordShare
