#include "platform/Pasteboard.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempFolder.hpp"

namespace platform {
// For readable failures; internal, so that other test files may print URLs their own way.
[[maybe_unused]] static void PrintTo(const Url& url, std::ostream* out) {
  *out << url.absoluteString();
}
}  // namespace platform

namespace {

using namespace std::chrono_literals;
using platform::FilePromiseReceiver;
using platform::OperationQueue;
using platform::Pasteboard;
using platform::Url;

Url link(std::string_view text) { return Url::parse(text).value(); }

TEST(Pasteboard, ReadsFileLocationsOnlyInOrder) {
  Pasteboard pasteboard;
  pasteboard.add(Url::fileURL("/drop/Interview.m4a", false));
  pasteboard.add(link("https://example.com/Interview.m4a"));
  pasteboard.add(Url::fileURL("/drop/Folder", true));
  pasteboard.add(link("mailto:someone@example.com"));
  pasteboard.add(link("file:///drop/Notes%20today.txt"));
  EXPECT_EQ(pasteboard.readFileURLs(),
            (std::vector<Url>{Url::fileURL("/drop/Interview.m4a", false),
                              Url::fileURL("/drop/Folder", true),
                              Url::fileURL("/drop/Notes today.txt", false)}));
  EXPECT_TRUE(pasteboard.readFilePromiseReceivers().empty());
}

TEST(Pasteboard, ReadsFilePromisesInOrder) {
  auto writeNothing = [](const Url&, const FilePromiseReceiver::Reader&) {};
  auto first =
      std::make_shared<FilePromiseReceiver>(std::vector<std::string>{"public.mp3"}, writeNothing);
  auto second = std::make_shared<FilePromiseReceiver>(std::vector<std::string>{}, writeNothing);
  Pasteboard pasteboard;
  pasteboard.add(first);
  pasteboard.add(link("https://example.com/"));
  pasteboard.add(second);
  EXPECT_EQ(pasteboard.readFilePromiseReceivers(),
            (std::vector<std::shared_ptr<FilePromiseReceiver>>{first, second}));
  EXPECT_TRUE(pasteboard.readFileURLs().empty());
  EXPECT_EQ(first->fileTypes(), std::vector<std::string>{"public.mp3"});
}

TEST(Pasteboard, RefusesAnEmptyPromise) {
  Pasteboard pasteboard;
  EXPECT_THROW(pasteboard.add(std::shared_ptr<FilePromiseReceiver>{}), std::invalid_argument);
  EXPECT_THROW(FilePromiseReceiver({}, nullptr), std::invalid_argument);
}

// What the reader was given, and where it ran.
struct Report {
  Url location;
  std::optional<std::error_code> error;
  bool onQueue = false;
  friend bool operator==(const Report&, const Report&) = default;
  friend void PrintTo(const Report& report, std::ostream* out) {
    *out << report.location.absoluteString() << (report.error ? " " + report.error->message() : "")
         << (report.onQueue ? " on the queue" : " elsewhere");
  }
};

class Reports {
 public:
  void add(Report report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(std::move(report));
    changed_.notify_all();
  }
  // Waits, at most a generous while, for `count` reports, and gives every one received by then.
  std::vector<Report> waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return reports_.size() >= count; });
    return reports_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Report> reports_;
};

// A gate that the test opens once; the source waits at it.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  bool waitOpen() {
    std::unique_lock lock(mutex_);
    return opened_.wait_for(lock, 10s, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

TEST(FilePromiseReceiver, ReturnsAtOnceAndTheSourceWritesOnItsOwnThread) {
  testing_support::TempFolder destination;
  OperationQueue queue;
  auto mayWrite = std::make_shared<Gate>();
  auto doneReporting = std::make_shared<Gate>();
  auto reports = std::make_shared<Reports>();
  auto sourceThread = std::make_shared<std::atomic<std::thread::id>>();
  {
    auto receiver = std::make_shared<FilePromiseReceiver>(
        std::vector<std::string>{"public.mpeg-4-audio"},
        [mayWrite, doneReporting, sourceThread](const Url& folder,
                                                const FilePromiseReceiver::Reader& report) {
          *sourceThread = std::this_thread::get_id();
          if (!mayWrite->waitOpen()) return;
          testing_support::writeFile(std::filesystem::path(folder.path()) / "One.m4a", "one");
          report(folder.appendingPathComponent("One.m4a"), std::nullopt);
          report(folder.appendingPathComponent("Two.m4a"),
                 std::make_error_code(std::errc::no_space_on_device));
          testing_support::writeFile(std::filesystem::path(folder.path()) / "Three.m4a", "three");
          report(folder.appendingPathComponent("Three.m4a"), std::nullopt);
          doneReporting->open();
        });
    receiver->receivePromisedFiles(
        destination.url(), queue, [&queue, reports](Url location, auto error) {
          reports->add({std::move(location), error, OperationQueue::current() == &queue});
        });
    EXPECT_TRUE(reports->waitFor(0).empty()) << "returned before the source wrote anything";
  }  // the receiver goes while the source still waits: the source keeps what it needs

  mayWrite->open();
  auto received = reports->waitFor(3);
  // Reports may run at once on the queue; their order is not kept.
  auto byName = [](const Report& a, const Report& b) {
    return a.location.path() < b.location.path();
  };
  std::sort(received.begin(), received.end(), byName);
  const auto folder = destination.url();
  EXPECT_EQ(received, (std::vector<Report>{
                          {folder.appendingPathComponent("One.m4a"), std::nullopt, true},
                          {folder.appendingPathComponent("Three.m4a"), std::nullopt, true},
                          {folder.appendingPathComponent("Two.m4a"),
                           std::make_error_code(std::errc::no_space_on_device), true},
                      }));
  EXPECT_NE(sourceThread->load(), std::this_thread::get_id());
  EXPECT_EQ(testing_support::namesIn(destination.path()),
            (std::vector<std::string>{"One.m4a", "Three.m4a"}));
  // The queue must outlive the last report call, not only the reader it ran.
  EXPECT_TRUE(doneReporting->waitOpen());
}

}  // namespace
