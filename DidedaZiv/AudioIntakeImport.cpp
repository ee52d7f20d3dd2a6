#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/use_awaitable.hpp>
#include <exception>
#include <utility>

#include "DidedaZiv/AudioIntake.hpp"
#include "DidedaZiv/NameNumbers.hpp"
#include "platform/Callback.hpp"
#include "platform/FileManager.hpp"
#include "platform/MainThread.hpp"

namespace DidedaZiv::AudioIntake {
namespace {

using platform::ItemProvider;
using platform::Url;
using platform::UTType;

// One provider, handed by value to the import of its item.
struct UncheckedProvider {
  std::shared_ptr<ItemProvider> provider;
};

Outcome problem(std::string_view message) { return Outcome::problem(std::string(message)); }

// The file-URL callback: copies the file offered by location into `into` (or, without
// `copyFileURLs`, reports it where it lies) and delivers the file outcome; none when there is no
// file to be had this way. Runs on the provider's thread.
ItemProvider::Completion fileURLCallback(platform::Resume<std::optional<Outcome>> deliver,
                                         bool copyFileURLs, Url into,
                                         std::shared_ptr<NameNumbers> numbers) {
  return [deliver = std::move(deliver), copyFileURLs, into = std::move(into),
          numbers = std::move(numbers)](std::optional<Url> url,
                                        std::optional<std::error_code> /*ignored*/) {
    if (!url || !url->isFileURL()) return deliver(std::nullopt);
    if (!copyFileURLs) return deliver(Outcome::file(*url));

    const bool accessGranted = platform::fileManager::startAccessingSecurityScopedResource(*url);
    std::optional<Outcome> outcome;
    try {
      const auto type = UTType::forFilenameExtension(url->pathExtension(), UTType::data());
      const auto name = fileName(url->lastPathComponent(), type);
      outcome = Outcome::file(copyIn(*url, into, name, *numbers));
    } catch (const std::exception&) {
      // A failed copy leaves the item to the file representation, or to couldNotGetMessage.
    }
    deliver(std::move(outcome));
    if (accessGranted) platform::fileManager::stopAccessingSecurityScopedResource(*url);
  };
}

// The file-representation callback: copies the temporary file, which exists only until this
// returns, into `into`. Runs on the provider's thread.
ItemProvider::Completion fileRepresentationCallback(Url into,
                                                    std::optional<std::string> suggestedName,
                                                    UTType type, platform::Resume<Outcome> deliver,
                                                    std::shared_ptr<NameNumbers> numbers) {
  return [into = std::move(into), suggestedName = std::move(suggestedName), type,
          deliver = std::move(deliver), numbers = std::move(numbers)](
             std::optional<Url> temporaryFile, std::optional<std::error_code> /*ignored*/) {
    if (!temporaryFile) return deliver(problem(couldNotGetMessage));
    std::optional<Outcome> outcome;
    try {
      const auto proposed = suggestedName
                                ? *suggestedName
                                : temporaryFile->deletingPathExtension().lastPathComponent();
      outcome = Outcome::file(copyIn(*temporaryFile, into, fileName(proposed, type), *numbers));
    } catch (const std::exception&) {
      outcome = problem(couldNotGetMessage);
    }
    deliver(std::move(*outcome));
  };
}

// Receives one item: by location when the provider offers a file URL, else (or when that gives
// nothing) as a temporary file of its audio or video type. Every call on the provider is made
// here, on the main thread.
asio::awaitable<Outcome> file(UncheckedProvider from, Url into, bool copyFileURLs,
                              std::shared_ptr<NameNumbers> numbers) {
  ItemProvider& provider = *from.provider;
  const auto identifiers = provider.registeredTypeIdentifiers();

  if (provider.hasItemConformingToTypeIdentifier(UTType::fileURL().identifier())) {
    auto received = co_await platform::awaitCallback<std::optional<Outcome>>(
        [&](platform::Resume<std::optional<Outcome>> deliver) {
          provider.loadURL(fileURLCallback(std::move(deliver), copyFileURLs, into, numbers));
        });
    if (received) co_return std::move(*received);
    if (!audioType(identifiers)) co_return problem(couldNotGetMessage);
  }

  const auto type = audioType(identifiers);
  if (!type) co_return problem(notAudioMessage);

  auto suggestedName = provider.suggestedName();
  co_return co_await platform::awaitCallback<Outcome>([&](platform::Resume<Outcome> deliver) {
    provider.loadFileRepresentation(
        type->identifier(), fileRepresentationCallback(into, std::move(suggestedName), *type,
                                                       std::move(deliver), numbers));
  });
}

asio::awaitable<std::vector<Outcome>> importOneByOne(
    std::vector<std::shared_ptr<ItemProvider>> providers, Url into, bool copyFileURLs) {
  std::vector<Outcome> outcomes;
  if (providers.empty()) co_return outcomes;
  outcomes.reserve(providers.size());
  // Items of one import often share a name: each copy starts its search after the last one's.
  const auto numbers = std::make_shared<NameNumbers>();
  for (auto& provider : providers) {
    // Named, not a braced temporary: g++ 12 destroys an aggregate temporary in a co_await
    // operand twice, which here would release the provider twice.
    UncheckedProvider unchecked{std::move(provider)};
    outcomes.push_back(co_await file(std::move(unchecked), into, copyFileURLs, numbers));
  }
  co_return outcomes;
}

}  // namespace

asio::awaitable<std::vector<Outcome>> files(std::vector<std::shared_ptr<ItemProvider>> from,
                                            Url into, bool copyFileURLs) {
  // An unconnected cancellation slot: the waiter's cancellation never reaches the import, whose
  // waits end only when their callbacks resume them.
  co_return co_await asio::co_spawn(
      platform::mainContext(), importOneByOne(std::move(from), std::move(into), copyFileURLs),
      asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
}

}  // namespace DidedaZiv::AudioIntake
