#include "DidedaZiv/DropPasteboard.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "DidedaZiv/DropPasteboardInternal.hpp"
#include "platform/MainThread.hpp"
#include "platform/OperationQueue.hpp"
#include "tests/support/Latch.hpp"
#include "tests/support/TempFolder.hpp"

namespace DidedaZiv::AudioIntake {
// For readable failures; internal, so that other test files may print outcomes their own way.
[[maybe_unused]] static void PrintTo(const Outcome& outcome, std::ostream* out) {
  if (const auto* url = outcome.fileURL()) *out << "file(" << url->path() << ")";
  if (const auto* message = outcome.problemMessage()) *out << "problem(" << *message << ")";
}
}  // namespace DidedaZiv::AudioIntake

namespace {

using namespace std::chrono_literals;
using DidedaZiv::AudioIntake::Outcome;
using platform::FilePromiseReceiver;
using platform::OperationQueue;
using platform::Pasteboard;
using platform::Url;
using testing_support::namesIn;
using testing_support::readFile;
using testing_support::TempFolder;
using testing_support::writeFile;
namespace fs = std::filesystem;

Outcome couldNotGet() {
  return Outcome::problem(std::string(DidedaZiv::AudioIntake::couldNotGetMessage));
}

std::string contentOf(const std::string& name) { return "content of " + name; }

// Waits, at most a generous while, until `done` holds; true when it did.
template <class Done>
bool eventually(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

struct PromisedFile {
  std::string name;
  bool fails = false;
};

// A drag source's promise. On a thread of its own the source writes each file, its name as content,
// into the destination and reports it once; a failing file is reported with an error, unwritten.
struct Source {
  std::shared_ptr<FilePromiseReceiver> receiver;
  std::shared_ptr<std::atomic<int>> writes = std::make_shared<std::atomic<int>>(0);
};

Source promise(std::vector<std::string> fileTypes, std::vector<PromisedFile> files) {
  Source source;
  source.receiver = std::make_shared<FilePromiseReceiver>(
      std::move(fileTypes), [files = std::move(files), writes = source.writes](
                                const Url& folder, const FilePromiseReceiver::Reader& report) {
        ++*writes;
        for (const auto& file : files) {
          if (file.fails) {
            report(folder.appendingPathComponent(file.name),
                   std::make_error_code(std::errc::io_error));
          } else {
            writeFile(fs::path(folder.path()) / file.name, contentOf(file.name));
            report(folder.appendingPathComponent(file.name), std::nullopt);
          }
        }
      });
  return source;
}

// Everything `deliver` was given. `deliver` alone holds it once the drop has been read.
struct Deliveries {
  std::mutex mutex;
  std::vector<Outcome> outcomes;
  bool allOnMain = true;
};

struct Drop {
  bool taken = false;
  // Delivered before read returned and the main loop ran again.
  std::vector<Outcome> beforeMainLoop;
  std::vector<Outcome> all;
  bool allOnMain = true;
  int inboxCalls = 0;
  std::weak_ptr<Deliveries> deliveries;
};

struct ReadOptions {
  std::size_t laterOutcomes = 0;                     // promised-file outcomes to wait for
  DidedaZiv::DropPasteboard::detail::Naming naming;  // the module's own naming when empty
  std::function<void()> afterRead;  // runs on the main thread before the main loop runs again
};

asio::awaitable<void> runLoopUntil(const std::function<bool()>& done) {
  asio::steady_timer timer(platform::mainContext());
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    timer.expires_after(2ms);
    co_await timer.async_wait(asio::use_awaitable);
  }
  // A little longer, so that an outcome delivered twice, or one too many, shows.
  timer.expires_after(150ms);
  co_await timer.async_wait(asio::use_awaitable);
}

// Reads the drop on the main thread, then runs the main loop until `laterOutcomes` promised-file
// outcomes have arrived. With `naming`, promised files are named by it instead of the module's own
// naming; `afterRead` runs on the main thread after read, before the main loop runs again.
Drop readDrop(const Pasteboard& pasteboard, const std::function<Url()>& inbox,
              std::size_t laterOutcomes = 0,
              const DidedaZiv::DropPasteboard::detail::Naming& naming = {},
              const std::function<void()>& afterRead = {}) {
  Drop drop;
  auto deliveries = std::make_shared<Deliveries>();
  drop.deliveries = deliveries;
  auto deliver = [deliveries](Outcome outcome) {
    std::lock_guard lock(deliveries->mutex);
    deliveries->allOnMain = deliveries->allOnMain && platform::isMainThread();
    deliveries->outcomes.push_back(std::move(outcome));
  };
  auto countedInbox = [&] {
    ++drop.inboxCalls;
    return inbox();
  };
  auto delivered = [&] {
    std::lock_guard lock(deliveries->mutex);
    return deliveries->outcomes;
  };
  auto onMain = [&]() -> asio::awaitable<void> {
    drop.taken =
        naming ? DidedaZiv::DropPasteboard::detail::read(pasteboard, countedInbox, deliver, naming)
               : DidedaZiv::DropPasteboard::read(pasteboard, countedInbox, deliver);
    if (afterRead) afterRead();
    drop.beforeMainLoop = delivered();
    co_await runLoopUntil(
        [&] { return delivered().size() >= drop.beforeMainLoop.size() + laterOutcomes; });
  };
  platform::runMain(onMain());
  drop.all = delivered();
  drop.allOnMain = deliveries->allOnMain;
  return drop;
}

// Outcomes of promised files arrive in no fixed order.
std::vector<Outcome> sorted(std::vector<Outcome> outcomes) {
  auto key = [](const Outcome& outcome) {
    return outcome.fileURL() ? "file " + outcome.fileURL()->path()
                             : "problem " + *outcome.problemMessage();
  };
  std::sort(outcomes.begin(), outcomes.end(),
            [&](const Outcome& a, const Outcome& b) { return key(a) < key(b); });
  return outcomes;
}

Url fileIn(const TempFolder& folder, const std::string& name) {
  return folder.url().appendingPathComponent(name);
}

// Nothing keeps `deliver`, and what it holds, once every promised file has been reported.
void expectDeliverReleased(const Drop& drop) {
  EXPECT_TRUE(eventually([&] { return drop.deliveries.expired(); }));
}

TEST(DropPasteboard, DeliversDroppedFilesAtOnceAsTheyAre) {
  TempFolder dropped;
  writeFile(dropped / "notes.txt", "notes");
  writeFile(dropped / "Interview.m4a", "interview");
  writeFile(dropped / "Folder/Take 1", "take");
  const auto notes = fileIn(dropped, "notes.txt");
  const auto interview = fileIn(dropped, "Interview.m4a");
  const auto folder = dropped.url().appendingPathComponent("Folder", /*isDirectory=*/true);
  const auto link = Url::parse("https://example.com/Interview.m4a").value();

  using Item = std::variant<Url, std::vector<PromisedFile>>;  // a promise of MPEG-4 audio
  struct Case {
    const char* name;
    std::vector<Item> items;
    bool taken;
    std::vector<Url> delivered;
  } const cases[] = {
      {"two files in pasteboard order, promises beside them",
       {std::vector<PromisedFile>{{"Promised"}}, notes, link, interview,
        std::vector<PromisedFile>{{"Other"}}},
       true,
       {notes, interview}},
      {"a file that is not audio", {notes}, true, {notes}},
      {"a folder", {folder}, true, {folder}},
      {"links only", {link, link}, false, {}},
      {"nothing at all", {}, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pasteboard pasteboard;
    std::vector<Source> sources;
    for (const auto& item : c.items) {
      if (const auto* url = std::get_if<Url>(&item)) {
        pasteboard.add(*url);
      } else {
        sources.push_back(
            promise({"public.mpeg-4-audio"}, std::get<std::vector<PromisedFile>>(item)));
        pasteboard.add(sources.back().receiver);
      }
    }
    TempFolder inbox;
    const auto drop = readDrop(pasteboard, [&] { return inbox.url(); });

    EXPECT_EQ(drop.taken, c.taken);
    std::vector<Outcome> expected;
    for (const auto& url : c.delivered) expected.push_back(Outcome::file(url));
    EXPECT_EQ(drop.beforeMainLoop, expected);
    EXPECT_EQ(drop.all, expected) << "nothing more later";
    EXPECT_TRUE(drop.allOnMain);
    EXPECT_EQ(drop.inboxCalls, 0);
    for (const auto& source : sources) EXPECT_EQ(source.writes->load(), 0);
    EXPECT_TRUE(namesIn(inbox.path()).empty());
    expectDeliverReleased(drop);
  }
  // Delivered where they lie: neither moved nor renamed nor copied.
  EXPECT_EQ(namesIn(dropped.path()),
            (std::vector<std::string>{"Folder", "Interview.m4a", "notes.txt"}));
  EXPECT_EQ(readFile(dropped / "notes.txt"), "notes");
}

TEST(DropPasteboard, AFailingInboxGivesOneProblemAtOnceAndReceivesNothing) {
  auto source = promise({"public.mpeg-4-audio"}, {{"Interview"}, {"Call"}});
  auto other = promise({"public.mp3"}, {{"Memo"}});
  Pasteboard pasteboard;
  pasteboard.add(Url::parse("https://example.com/").value());
  pasteboard.add(source.receiver);
  pasteboard.add(other.receiver);

  const auto drop = readDrop(pasteboard, []() -> Url {
    throw std::system_error(std::make_error_code(std::errc::permission_denied));
  });

  EXPECT_TRUE(drop.taken);
  EXPECT_EQ(drop.beforeMainLoop, std::vector<Outcome>{couldNotGet()});
  EXPECT_EQ(drop.all, std::vector<Outcome>{couldNotGet()});
  EXPECT_TRUE(drop.allOnMain);
  EXPECT_EQ(drop.inboxCalls, 1);
  EXPECT_EQ(source.writes->load(), 0) << "no file is written";
  EXPECT_EQ(other.writes->load(), 0);
  expectDeliverReleased(drop);
}

TEST(DropPasteboard, NamesEachPromisedFileInTheInbox) {
  struct Case {
    const char* name;
    std::vector<std::string> fileTypes;
    std::string received;
    std::optional<std::string> alreadyThere;  // a file of this name lies in the inbox beforehand
    std::string delivered;
  } const cases[] = {
      {"a clean name stays", {"public.mpeg-4-audio"}, "Interview.m4a", {}, "Interview.m4a"},
      {"a name without extension is moved",
       {"public.mpeg-4-audio"},
       "Interview",
       {},
       "Interview.m4a"},
      {"an extension that is not audio is kept",
       {"public.mpeg-4-audio"},
       "Talk.part",
       {},
       "Talk.part.m4a"},
      {"the first audio type names it",
       {"public.plain-text", "public.mp3", "public.mpeg-4-audio"},
       "Memo",
       {},
       "Memo.mp3"},
      {"a taken clean name leaves the file as received",
       {"public.mpeg-4-audio"},
       "Interview",
       "Interview.m4a",
       "Interview"},
      {"a receiver without audio types", {"public.plain-text"}, "notes.txt", {}, "notes.txt"},
      {"without audio types the name is still cleaned",
       {"public.plain-text", "no.such.type"},
       " Call 10:30",
       {},
       "Call 10-30"},
      {"no types at all", {}, ".m4a", {}, "Recording.m4a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder inbox;
    if (c.alreadyThere) writeFile(inbox / *c.alreadyThere, "already there");
    auto source = promise(c.fileTypes, {{c.received}});
    Pasteboard pasteboard;
    pasteboard.add(source.receiver);

    const auto drop = readDrop(
        pasteboard, [&] { return inbox.url(); }, 1);

    EXPECT_TRUE(drop.taken);
    EXPECT_TRUE(drop.beforeMainLoop.empty()) << "promised files arrive after read returns";
    EXPECT_EQ(drop.all, std::vector<Outcome>{Outcome::file(fileIn(inbox, c.delivered))});
    EXPECT_TRUE(drop.allOnMain);
    EXPECT_EQ(drop.inboxCalls, 1);
    EXPECT_EQ(readFile(inbox / c.delivered), contentOf(c.received));
    auto expectedNames = std::vector<std::string>{c.delivered};
    if (c.alreadyThere) {
      expectedNames.push_back(*c.alreadyThere);
      EXPECT_EQ(readFile(inbox / *c.alreadyThere), "already there");
    }
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(namesIn(inbox.path()), expectedNames);
    expectDeliverReleased(drop);
  }
}

TEST(DropPasteboard, AFailingPromisedFileGivesOneProblemAndTheOthersArrive) {
  TempFolder inbox;
  auto recordings =
      promise({"public.mpeg-4-audio"}, {{"One"}, {"Two", /*fails=*/true}, {"Three.m4a"}});
  auto notes = promise({"public.plain-text"}, {{"notes.txt"}});
  Pasteboard pasteboard;
  pasteboard.add(recordings.receiver);
  pasteboard.add(notes.receiver);

  const auto drop = readDrop(
      pasteboard, [&] { return inbox.url(); }, 4);

  EXPECT_TRUE(drop.taken);
  EXPECT_TRUE(drop.beforeMainLoop.empty());
  EXPECT_EQ(sorted(drop.all), sorted({Outcome::file(fileIn(inbox, "One.m4a")), couldNotGet(),
                                      Outcome::file(fileIn(inbox, "Three.m4a")),
                                      Outcome::file(fileIn(inbox, "notes.txt"))}))
      << "each promised file reported exactly once";
  EXPECT_TRUE(drop.allOnMain);
  EXPECT_EQ(drop.inboxCalls, 1);
  EXPECT_EQ(namesIn(inbox.path()), (std::vector<std::string>{"One.m4a", "Three.m4a", "notes.txt"}));
  expectDeliverReleased(drop);
}

// Where readers ran, seen from inside them.
struct ReaderSightings {
  explicit ReaderSightings(int readers) : inside(readers), named(readers) {}
  testing_support::Latch inside;  // each reader counts down on entering
  testing_support::Latch named;   // and again once it has named its file
  std::atomic<int> metTogether{0};
  std::mutex mutex;
  std::vector<OperationQueue*> queues;
  bool anyOnMain = false;
};

// The module's naming, watched: each reader waits until all the sightings expect are inside at
// once.
DidedaZiv::DropPasteboard::detail::Naming watchedNaming(
    const std::shared_ptr<ReaderSightings>& sightings) {
  return [sightings](const Url& location, const std::optional<platform::UTType>& type) {
    {
      std::lock_guard lock(sightings->mutex);
      sightings->queues.push_back(OperationQueue::current());
      sightings->anyOnMain = sightings->anyOnMain || platform::isMainThread();
    }
    if (sightings->inside.arriveAndWait()) ++sightings->metTogether;
    auto result = DidedaZiv::DropPasteboard::named(location, type);
    sightings->named.countDown();
    return result;
  };
}

TEST(DropPasteboard, ReadersRunTogetherOnOneUserInitiatedQueue) {
  TempFolder inbox;
  auto first = promise({"public.mpeg-4-audio"}, {{"First"}});
  auto second = promise({"public.mp3"}, {{"Second"}});
  Pasteboard pasteboard;
  pasteboard.add(first.receiver);
  pasteboard.add(second.receiver);
  auto sightings = std::make_shared<ReaderSightings>(2);

  // Both files are named and handed on while the main thread is still busy after read: even
  // then nothing may reach `deliver` before the main loop runs again.
  auto bothNamed = [&] {
    EXPECT_TRUE(sightings->named.wait());
    std::this_thread::sleep_for(50ms);
  };
  const auto drop = readDrop(
      pasteboard, [&] { return inbox.url(); }, 2, watchedNaming(sightings), bothNamed);

  EXPECT_TRUE(drop.beforeMainLoop.empty());
  EXPECT_EQ(sorted(drop.all), sorted({Outcome::file(fileIn(inbox, "First.m4a")),
                                      Outcome::file(fileIn(inbox, "Second.mp3"))}));
  EXPECT_TRUE(drop.allOnMain);
  EXPECT_EQ(sightings->metTogether.load(), 2) << "the two readers ran at once";
  ASSERT_EQ(sightings->queues.size(), 2U);
  OperationQueue* const queue = sightings->queues[0];
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(sightings->queues[1], queue);
  EXPECT_EQ(queue->qualityOfService(), OperationQueue::QualityOfService::userInitiated);
  EXPECT_FALSE(sightings->anyOnMain);

  // A later drop's readers run on the same queue.
  auto later = promise({"public.mpeg-4-audio"}, {{"Later"}});
  Pasteboard laterPasteboard;
  laterPasteboard.add(later.receiver);
  auto laterSightings = std::make_shared<ReaderSightings>(1);
  const auto laterDrop = readDrop(
      laterPasteboard, [&] { return inbox.url(); }, 1, watchedNaming(laterSightings));
  EXPECT_EQ(laterDrop.all, std::vector<Outcome>{Outcome::file(fileIn(inbox, "Later.m4a"))});
  EXPECT_EQ(laterSightings->queues, std::vector<OperationQueue*>{queue});
}

}  // namespace
