#include "share-extension/ShareViewController.hpp"

#include <utility>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/MainThread.hpp"
#include "platform/app/views/Button.hpp"
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
  const auto outcomes =
      co_await AudioIntake::files(std::move(providers), *folder, /*copyFileURLs=*/true);

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
