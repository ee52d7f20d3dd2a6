// Reading a drop: file locations at once, file promises received into the inbox.
#include "DidedaZiv/DropPasteboard.hpp"

#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "DidedaZiv/DropPasteboardInternal.hpp"
#include "platform/FileManager.hpp"
#include "platform/MainThread.hpp"
#include "platform/OperationQueue.hpp"

namespace DidedaZiv::DropPasteboard {
namespace {

using Deliver = std::function<void(AudioIntake::Outcome)>;

// The queue on which the readers of every drop run. Never destroyed: a source may still report a
// promised file while the process exits, and its report must not reach a queue that is gone.
platform::OperationQueue& workQueue() {
  static platform::OperationQueue& queue = []() -> platform::OperationQueue& {
    auto* created = new platform::OperationQueue();
    created->setQualityOfService(platform::OperationQueue::QualityOfService::userInitiated);
    return *created;
  }();
  return queue;
}

asio::awaitable<void> deliverOnMain(std::shared_ptr<const Deliver> deliver,
                                    AudioIntake::Outcome outcome) {
  (*deliver)(std::move(outcome));
  co_return;
}

// The reader of one receiver: runs on workQueue once per promised file, and hands the file's
// outcome to the main thread without waiting for it.
platform::FilePromiseReceiver::Reader promiseReader(std::optional<platform::UTType> type,
                                                    std::shared_ptr<const Deliver> deliver,
                                                    detail::Naming naming) {
  return [type, deliver = std::move(deliver), naming = std::move(naming)](
             const platform::Url& location, std::optional<std::error_code> error) {
    auto outcome = error
                       ? AudioIntake::Outcome::problem(std::string(AudioIntake::couldNotGetMessage))
                       : AudioIntake::Outcome::file(naming(location, type));
    platform::startOnMain(deliverOnMain(deliver, std::move(outcome)));
  };
}

// The folder from `inbox`, or none when it throws: whatever it threw, the user sees one message.
std::optional<platform::Url> inboxFolder(const std::function<platform::Url()>& inbox) {
  try {
    return inbox();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

platform::Url named(const platform::Url& location, const std::optional<platform::UTType>& type) {
  const auto receivedName = location.lastPathComponent();
  const auto cleanName = AudioIntake::fileName(receivedName, type);
  if (cleanName == receivedName) return location;
  auto target = location.deletingLastPathComponent().appendingPathComponent(cleanName);
  try {
    platform::fileManager::moveItem(location, target);
  } catch (const std::system_error&) {
    return location;
  }
  return target;
}

bool read(const platform::Pasteboard& pasteboard, const std::function<platform::Url()>& inbox,
          std::function<void(AudioIntake::Outcome)> deliver) {
  return detail::read(pasteboard, inbox, std::move(deliver), named);
}

namespace detail {

bool read(const platform::Pasteboard& pasteboard, const std::function<platform::Url()>& inbox,
          std::function<void(AudioIntake::Outcome)> deliver, const Naming& naming) {
  if (auto files = pasteboard.readFileURLs(); !files.empty()) {
    for (auto& file : files) deliver(AudioIntake::Outcome::file(std::move(file)));
    return true;
  }

  const auto receivers = pasteboard.readFilePromiseReceivers();
  if (receivers.empty()) return false;

  const auto folder = inboxFolder(inbox);
  if (!folder) {
    deliver(AudioIntake::Outcome::problem(std::string(AudioIntake::couldNotGetMessage)));
    return true;
  }

  // Shared by every reader of this drop, and gone with the last of them.
  auto sharedDeliver = std::make_shared<const Deliver>(std::move(deliver));
  for (const auto& receiver : receivers) {
    receiver->receivePromisedFiles(
        *folder, workQueue(),
        promiseReader(AudioIntake::audioType(receiver->fileTypes()), sharedDeliver, naming));
  }
  return true;
}

}  // namespace detail
}  // namespace DidedaZiv::DropPasteboard
