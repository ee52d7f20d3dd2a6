#include <gtest/gtest.h>

#include <algorithm>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/ItemProvider.hpp"
#include "platform/MainThread.hpp"
#include "platform/detail/ItemProviderObserver.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/Urls.hpp"

namespace DidedaZiv::AudioIntake {
// For readable failures; internal, so that other test files may print outcomes their own way.
[[maybe_unused]] static void PrintTo(const Outcome& outcome, std::ostream* out) {
  if (const auto* url = outcome.fileURL()) *out << "file(" << url->absoluteString() << ")";
  if (const auto* message = outcome.problemMessage()) *out << "problem(" << *message << ")";
}
}  // namespace DidedaZiv::AudioIntake

namespace {

using namespace std::chrono_literals;
namespace AudioIntake = DidedaZiv::AudioIntake;
using AudioIntake::Outcome;
using platform::ItemProvider;
using platform::Url;
using testing_support::fileURL;
using testing_support::folderURL;
using testing_support::readFile;
using testing_support::TempFolder;
using testing_support::writeFile;
namespace fs = std::filesystem;

Outcome notAudio() { return Outcome::problem(std::string(AudioIntake::notAudioMessage)); }
Outcome couldNotGet() { return Outcome::problem(std::string(AudioIntake::couldNotGetMessage)); }

// What a test provider's loader hands over, after an optional delay.
struct Answer {
  // Initialised in so many words: GCC 12 at -O3 takes the optionals of an Answer a case table
  // leaves out for uninitialised otherwise.
  std::optional<Url> url = std::nullopt;
  std::optional<std::error_code> error = std::nullopt;
  std::chrono::milliseconds delay{0};
};

Answer handing(const fs::path& file, std::chrono::milliseconds delay = 0ms) {
  return {.url = fileURL(file), .delay = delay};
}
Answer failing() { return {.error = std::make_error_code(std::errc::io_error)}; }
Answer webLink() { return {.url = Url::parse("https://example.com/talk.m4a")}; }

// What one item's provider offers: optionally a file URL (registered first), then file
// representations of the given types, all answering `file`.
struct Offer {
  std::optional<Answer> fileURL;
  std::vector<std::string> fileTypes;
  Answer file;
  std::optional<std::string> suggestedName;
};

size_t entriesIn(const fs::path& folder) {
  std::error_code missing;
  size_t count = 0;
  for (fs::directory_iterator it(folder, missing), end; !missing && it != end;
       it.increment(missing)) {
    ++count;
  }
  return count;
}

// What the providers of one import were asked and did, in order: each receiving call as it
// began, and each load once its completion had returned ("url loaded", "file loaded").
struct Event {
  int provider;
  std::string what;
  bool onMainThread;
  size_t entriesInDestination;
};

bool isLoad(const std::string& call) {
  return call == "loadURL" || call == "loadFileRepresentation";
}
bool isLoaded(const std::string& what) { return what.ends_with("loaded"); }

class Journal {
 public:
  explicit Journal(fs::path destination) : destination_(std::move(destination)) {}

  void record(int provider, std::string what) {
    Event event{provider, std::move(what), platform::isMainThread(), entriesIn(destination_)};
    const std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }

  // Holds a loader of `provider` until every load asked before its own, of this provider or an
  // earlier one, has been recorded as returned: the import goes on as soon as a completion is
  // called, and a later load recorded before the earlier one's return would put the journal out
  // of order, or make its count of the destination wrong.
  void waitForEarlierLoads(int provider) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return loadsNotReturned(provider) <= 1; });
  }

  // Every event, once each load asked for has returned from its completion: the import may
  // finish a moment before that.
  std::vector<Event> events() const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s,
                      [&] { return loadsNotReturned(std::numeric_limits<int>::max()) == 0; });
    return events_;
  }
  std::vector<std::string> loads() const {
    std::vector<std::string> loads;
    for (const auto& event : events()) {
      if (isLoaded(event.what)) loads.push_back(event.what);
    }
    return loads;
  }

 private:
  // How many loads asked of the providers up to `provider` have not returned yet; the lock is
  // held.
  std::ptrdiff_t loadsNotReturned(int provider) const {
    const auto count = [&](auto predicate) {
      return std::count_if(events_.begin(), events_.end(), [&](const Event& e) {
        return e.provider <= provider && predicate(e.what);
      });
    };
    return count(isLoad) - count(isLoaded);
  }

  const fs::path destination_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Event> events_;
};

std::shared_ptr<ItemProvider> makeProvider(const Offer& offer, int index,
                                           const std::shared_ptr<Journal>& journal) {
  const auto loader = [&](const Answer& answer, const char* what) -> ItemProvider::Loader {
    return [journal, index, answer, what](const ItemProvider::Completion& completion) {
      journal->waitForEarlierLoads(index);
      std::this_thread::sleep_for(answer.delay);
      completion(answer.url, answer.error);
      journal->record(index, what);
    };
  };
  auto provider = std::make_shared<ItemProvider>();
  if (offer.fileURL) provider->registerURL("public.file-url", loader(*offer.fileURL, "url loaded"));
  for (const auto& type : offer.fileTypes) {
    provider->registerFileRepresentation(type, loader(offer.file, "file loaded"));
  }
  provider->setSuggestedName(offer.suggestedName);
  platform::detail::setReceivingObserver(*provider, [journal, index](std::string_view call) {
    journal->record(index, std::string(call));
  });
  return provider;
}

class Import : public testing::Test {
 protected:
  void SetUp() override {
    writeFile(talk, "talk");
    writeFile(memo, "memo");
    writeFile(report, "report");
  }

  // Imports the offers into `into` (by default the destination) on the main thread.
  std::vector<Outcome> import(const std::vector<Offer>& offers, bool copyFileURLs,
                              const std::optional<fs::path>& into = std::nullopt) {
    journal = std::make_shared<Journal>(into.value_or(destination));
    std::vector<std::shared_ptr<ItemProvider>> providers;
    providers.reserve(offers.size());
    for (const auto& offer : offers) {
      providers.push_back(makeProvider(offer, static_cast<int>(providers.size()), journal));
    }
    return platform::runMain(
        AudioIntake::files(providers, folderURL(into.value_or(destination)), copyFileURLs));
  }

  Outcome copied(const std::string& name) const {
    return Outcome::file(folderURL(destination).appendingPathComponent(name));
  }

  TempFolder folder;
  const fs::path talk = folder / "source/Talk.m4a";
  const fs::path memo = folder / "source/Memo.m4a";
  const fs::path report = folder / "source/Report.pdf";
  const fs::path destination = folder / "Received Files/share";  // made by the import's copy
  std::shared_ptr<Journal> journal;
};

TEST_F(Import, EachKindOfOfferGivesItsOutcome) {
  const std::vector<std::string> m4a = {"public.mpeg-4-audio"};
  // Reported exactly as delivered, not respelled.
  const auto oddlySpelledTalk = fileURL(folder / "source/./Talk.m4a");
  struct Case {
    const char* what;
    Offer offer;
    Outcome expected;
    std::optional<std::string> content;  // of the copy, where there is one
    std::vector<std::string> loads;
    bool copyFileURLs = true;
    bool destinationBlocked = false;
  };
  const Case cases[] = {
      {.what = "by location, reported in place",
       .offer = {.fileURL = Answer{.url = oddlySpelledTalk}, .suggestedName = "Other"},
       .expected = Outcome::file(oddlySpelledTalk),
       .loads = {"url loaded"},
       .copyFileURLs = false},
      {.what = "by location, copied under its own name",
       .offer = {.fileURL = handing(talk), .fileTypes = m4a, .suggestedName = "Other"},
       .expected = copied("Talk.m4a"),
       .content = "talk",
       .loads = {"url loaded"}},
      // Named as fileName names it with the file's own type: a type that is not audio or video
      // lends its extension once more.
      {.what = "a document by location, copied all the same",
       .offer = {.fileURL = handing(report), .fileTypes = {"com.adobe.pdf"}},
       .expected = copied("Report.pdf.pdf"),
       .content = "report",
       .loads = {"url loaded"}},
      {.what = "no URL, then audio",
       .offer = {.fileURL = failing(),
                 .fileTypes = m4a,
                 .file = handing(memo),
                 .suggestedName = "Interview"},
       .expected = copied("Interview.m4a"),
       .content = "memo",
       .loads = {"url loaded", "file loaded"}},
      {.what = "a web link, then audio",
       .offer = {.fileURL = webLink(),
                 .fileTypes = m4a,
                 .file = handing(memo),
                 .suggestedName = "Interview"},
       .expected = copied("Interview.m4a"),
       .content = "memo",
       .loads = {"url loaded", "file loaded"}},
      {.what = "a failing copy, then audio",
       .offer = {.fileURL = handing(folder / "source/gone.m4a"),
                 .fileTypes = m4a,
                 .file = handing(memo),
                 .suggestedName = "Interview"},
       .expected = copied("Interview.m4a"),
       .content = "memo",
       .loads = {"url loaded", "file loaded"}},
      {.what = "no URL, no audio",
       .offer = {.fileURL = failing(), .fileTypes = {"public.plain-text"}},
       .expected = couldNotGet(),
       .loads = {"url loaded"}},
      {.what = "a web link, no audio",
       .offer = {.fileURL = webLink()},
       .expected = couldNotGet(),
       .loads = {"url loaded"}},
      {.what = "a failing copy, no audio",
       .offer = {.fileURL = handing(folder / "source/gone.pdf"), .fileTypes = {"com.adobe.pdf"}},
       .expected = couldNotGet(),
       .loads = {"url loaded"}},
      {.what = "audio copied",
       .offer = {.fileTypes = m4a, .file = handing(memo), .suggestedName = "Interview"},
       .expected = copied("Interview.m4a"),
       .content = "memo",
       .loads = {"file loaded"}},
      {.what = "audio that does not load",
       .offer = {.fileTypes = m4a, .file = failing(), .suggestedName = "Interview"},
       .expected = couldNotGet(),
       .loads = {"file loaded"}},
      {.what = "audio whose copy fails",
       .offer = {.fileTypes = m4a, .file = handing(memo), .suggestedName = "Interview"},
       .expected = couldNotGet(),
       .loads = {"file loaded"},
       .destinationBlocked = true},
      {.what = "neither URL nor audio",
       .offer = {.fileTypes = {"public.plain-text"}, .file = handing(report)},
       .expected = notAudio()},
      {.what = "nothing at all", .expected = notAudio()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(destination);
    // A regular file where the destination's parent should be: the folder cannot be made.
    const auto into = c.destinationBlocked ? talk / "share" : destination;

    const auto outcomes = import({c.offer}, c.copyFileURLs, into);

    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0], c.expected);
    if (c.content) {
      EXPECT_EQ(readFile(outcomes[0].fileURL()->path()), *c.content);
    }
    EXPECT_EQ(entriesIn(destination), c.content ? 1u : 0u) << "nothing else is left behind";
    if (!c.copyFileURLs) {
      EXPECT_FALSE(fs::exists(destination));
    }
    EXPECT_EQ(journal->loads(), c.loads);
  }
  EXPECT_EQ(readFile(talk), "talk");
  EXPECT_EQ(readFile(memo), "memo");
}

TEST_F(Import, AFileRepresentationIsNamedFromTheSuggestedNameOrElseTheTemporaryFile) {
  // The handed file's own extension is not audio: named after it, the copy would be
  // "take.bin.mp3".
  const auto take = folder / "source/take.bin";
  writeFile(take, "take");
  struct Case {
    const char* what;
    std::optional<std::string> suggestedName;
    const char* expectedName;
  };
  const Case cases[] = {
      {"no suggested name", std::nullopt, "take.mp3"},
      {"an empty suggested name", "", "Recording.mp3"},
      {"a suggested name", "Interview", "Interview.mp3"},
      // On the file-URL path the suggestion is not used; see EachKindOfOfferGivesItsOutcome.
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(destination);
    const auto outcomes = import(
        {{.fileTypes = {"public.mp3"}, .file = handing(take), .suggestedName = c.suggestedName}},
        /*copyFileURLs=*/true);
    EXPECT_EQ(outcomes, std::vector{copied(c.expectedName)});
  }
}

TEST_F(Import, AnEmptyListGivesNoOutcomesAndLeavesTheFolderAlone) {
  EXPECT_TRUE(import({}, /*copyFileURLs=*/true).empty());
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_TRUE(journal->events().empty());
}

TEST_F(Import, OutcomesFollowTheProvidersOrder) {
  const auto outcomes = import(
      {{.fileURL = handing(talk), .fileTypes = {"public.mpeg-4-audio"}},
       {.fileTypes = {"public.plain-text", "public.utf8-plain-text"}},
       {.fileTypes = {"public.mpeg-4-audio"}, .file = handing(memo), .suggestedName = "Memo"}},
      /*copyFileURLs=*/true);
  EXPECT_EQ(outcomes, (std::vector{copied("Talk.m4a"), notAudio(), copied("Memo.m4a")}));
}

// Items of one name take the next numbers in turn, whichever way they arrive, and a name that is
// taken already, before the import or while it runs, is passed over and left as it was.
TEST_F(Import, ItemsOfOneNameTakeTheNextFreeNumbersInTurn) {
  writeFile(destination / "Talk 3.m4a", "there before");
  const std::vector<Offer> offers = {
      {.fileURL = handing(talk)},
      {.fileURL = handing(talk)},
      {.fileTypes = {"public.mpeg-4-audio"}, .file = handing(talk), .suggestedName = "Talk"},
      {.fileURL = handing(talk)},
      {.fileURL = handing(talk)},
  };
  std::vector<std::shared_ptr<ItemProvider>> providers;
  journal = std::make_shared<Journal>(destination);
  for (const auto& offer : offers) {
    providers.push_back(makeProvider(offer, static_cast<int>(providers.size()), journal));
  }
  // The fourth item: another process takes "Talk 5.m4a" while it loads.
  auto taker = std::make_shared<ItemProvider>();
  taker->registerURL("public.file-url", [this](const ItemProvider::Completion& completion) {
    writeFile(destination / "Talk 5.m4a", "taken meanwhile");
    completion(fileURL(talk), std::nullopt);
  });
  providers.insert(providers.begin() + 3, taker);

  const auto outcomes =
      platform::runMain(AudioIntake::files(providers, folderURL(destination), true));

  EXPECT_EQ(outcomes,
            (std::vector{copied("Talk.m4a"), copied("Talk 2.m4a"), copied("Talk 4.m4a"),
                         copied("Talk 6.m4a"), copied("Talk 7.m4a"), copied("Talk 8.m4a")}));
  EXPECT_EQ(readFile(destination / "Talk 3.m4a"), "there before");
  EXPECT_EQ(readFile(destination / "Talk 5.m4a"), "taken meanwhile");
}

// The first item is slow; the second must still wait for its copy, and come second.
TEST_F(Import, ItemsRunOneAfterAnotherWithProviderCallsOnTheMainThreadAndCopiesOffIt) {
  const auto outcomes = import(
      {{.fileURL = handing(talk, 200ms)},
       {.fileTypes = {"public.mpeg-4-audio"}, .file = handing(memo), .suggestedName = "Memo"}},
      /*copyFileURLs=*/true);
  EXPECT_EQ(outcomes, (std::vector{copied("Talk.m4a"), copied("Memo.m4a")}));

  const auto events = journal->events();
  size_t firstOfSecond = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    const auto& event = events[i];
    SCOPED_TRACE(testing::Message() << "provider " << event.provider << ": " << event.what);
    if (isLoaded(event.what)) {
      EXPECT_FALSE(event.onMainThread);
      // The copy was made by the completion itself, before it returned.
      EXPECT_EQ(event.entriesInDestination, static_cast<size_t>(event.provider) + 1);
    } else {
      EXPECT_TRUE(event.onMainThread);
      if (event.provider == 1) firstOfSecond = std::min(firstOfSecond, i);
      if (event.provider == 0) {
        EXPECT_LT(i, firstOfSecond) << "a call on the first after the second";
      }
    }
  }
  ASSERT_LT(firstOfSecond, events.size());
  EXPECT_EQ(events[firstOfSecond].entriesInDestination, 1u)
      << "the second provider was asked before the first item's copy existed";
}

// The temporary file of a file representation is copied while it exists and is gone after.
TEST_F(Import, TheTemporaryFileIsCopiedBeforeItGoes) {
  // A name no other test uses, to find the temporary copy by.
  const auto handedName = folder.path().filename().string() + ".caf";
  const auto handed = folder / "source" / handedName;
  writeFile(handed, "core audio");
  const auto temporaryCopies = [&] {
    std::vector<fs::path> found;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ignored)) {
      if (entry.path() != folder.path() && fs::exists(entry.path() / handedName, ignored)) {
        found.push_back(entry.path() / handedName);
      }
    }
    return found;
  };

  const auto outcomes =
      import({{.fileTypes = {"com.apple.coreaudio-format"}, .file = handing(handed)}},
             /*copyFileURLs=*/true);

  ASSERT_EQ(outcomes.size(), 1u);
  ASSERT_NE(outcomes[0].fileURL(), nullptr) << testing::PrintToString(outcomes[0]);
  EXPECT_EQ(readFile(outcomes[0].fileURL()->path()), "core audio");
  EXPECT_EQ(journal->events().back().entriesInDestination, 1u)
      << "copied before the completion returned";
  EXPECT_TRUE(temporaryCopies().empty()) << testing::PrintToString(temporaryCopies());
}

TEST_F(Import, RunsOnTheMainThreadWhateverExecutorAwaitsIt) {
  asio::thread_pool elsewhere{1};
  journal = std::make_shared<Journal>(destination);
  const std::vector providers = {makeProvider({.fileURL = handing(talk)}, 0, journal)};
  const auto outcomes = platform::runMain([&]() -> asio::awaitable<std::vector<Outcome>> {
    co_return co_await asio::co_spawn(elsewhere,
                                      AudioIntake::files(providers, folderURL(destination), true),
                                      asio::use_awaitable);
  }());
  EXPECT_EQ(outcomes, std::vector{copied("Talk.m4a")});
  for (const auto& event : journal->events()) {
    SCOPED_TRACE(event.what);
    EXPECT_EQ(event.onMainThread, !isLoaded(event.what));
  }
}

TEST_F(Import, CancellingTheWaiterDoesNotStopTheImport) {
  asio::cancellation_signal cancel;
  std::promise<void> cancelled;
  auto cancelledFuture = cancelled.get_future();
  journal = std::make_shared<Journal>(destination);
  auto first = std::make_shared<ItemProvider>();
  first->registerURL("public.file-url", [&](const ItemProvider::Completion& completion) {
    asio::post(platform::mainContext(), [&] {
      cancel.emit(asio::cancellation_type::all);
      cancelled.set_value();
    });
    cancelledFuture.wait();
    completion(fileURL(talk), std::nullopt);
  });
  const std::vector providers = {first, makeProvider({.fileURL = handing(memo)}, 1, journal)};

  const auto outcomes = platform::runMain([&]() -> asio::awaitable<std::vector<Outcome>> {
    co_return co_await asio::co_spawn(
        platform::mainContext(), AudioIntake::files(providers, folderURL(destination), true),
        asio::bind_cancellation_slot(cancel.slot(), asio::use_awaitable));
  }());
  EXPECT_EQ(outcomes, (std::vector{copied("Talk.m4a"), copied("Memo.m4a")}));
}

using ImportDeathTest = Import;

TEST_F(ImportDeathTest, ALoaderThatAnswersTwiceIsStopped) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto secondAnswerReturned = std::make_shared<std::promise<void>>();
  auto twice = std::make_shared<ItemProvider>();
  twice->registerURL("public.file-url", [this, secondAnswerReturned](const auto& completion) {
    completion(fileURL(talk), std::nullopt);
    completion(fileURL(talk), std::nullopt);
    secondAnswerReturned->set_value();
  });
  EXPECT_DEATH(
      {
        platform::runMain(AudioIntake::files({twice}, folderURL(destination), true));
        // The second answer may come after the import has finished: wait for it.
        secondAnswerReturned->get_future().wait_for(10s);
      },
      "platform: a completion callback was called a second time");
}

}  // namespace
