#include "platform/ItemProvider.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include "platform/Callback.hpp"
#include "platform/MainThread.hpp"
#include "tests/support/Mounts.hpp"
#include "tests/support/TempFolder.hpp"
#include "tests/support/Urls.hpp"

namespace {

using namespace std::chrono_literals;
using platform::ItemProvider;
using platform::Url;
using testing_support::fileURL;
using testing_support::readFile;
using testing_support::TempFolder;
using testing_support::writeFile;

// $TMPDIR pointed at `folder` while the object lives, at a moment when no load runs.
class ScopedTemporaryFolder {
 public:
  explicit ScopedTemporaryFolder(const std::filesystem::path& folder) {
    // NOLINTBEGIN(concurrency-mt-unsafe): the load threads are idle
    if (const char* saved = std::getenv("TMPDIR")) saved_ = saved;
    ::setenv("TMPDIR", folder.c_str(), 1);
  }
  ~ScopedTemporaryFolder() {
    if (saved_) {
      ::setenv("TMPDIR", saved_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    // NOLINTEND(concurrency-mt-unsafe)
  }
  ScopedTemporaryFolder(const ScopedTemporaryFolder&) = delete;
  ScopedTemporaryFolder& operator=(const ScopedTemporaryFolder&) = delete;

 private:
  std::optional<std::string> saved_;
};

ItemProvider::Loader answering(const std::optional<Url>& url,
                               std::optional<std::error_code> error = {}) {
  return [url, error](const ItemProvider::Completion& completion) { completion(url, error); };
}

// What a completion was given, seen from inside it.
struct Delivery {
  std::optional<Url> url;
  std::optional<std::error_code> error;
  std::thread::id thread;
  bool onMainThread = true;
  std::optional<std::string> contentDuringCompletion;  // of the delivered file, when it existed
};

using Load = std::function<void(ItemProvider::Completion)>;

// Starts `load` on the main thread and runs the main loop until the completion has run once.
Delivery loadOnMain(const Load& load) {
  return platform::runMain(
      platform::awaitCallback<Delivery>([&](const platform::Resume<Delivery>& resume) {
        load([resume](std::optional<Url> url, std::optional<std::error_code> error) {
          Delivery delivery{url, error, std::this_thread::get_id(), platform::isMainThread(), {}};
          if (url && std::filesystem::exists(url->path())) {
            delivery.contentDuringCompletion = readFile(url->path());
          }
          resume(delivery);
        });
      }));
}

TEST(ItemProvider, ListsRegisteredTypesInOrderEachOnce) {
  ItemProvider provider;
  provider.registerURL("public.file-url", answering(std::nullopt));
  provider.registerFileRepresentation("public.mp3", answering(std::nullopt));
  provider.registerFileRepresentation("public.mp3", answering(std::nullopt));
  provider.registerURL("public.url", answering(std::nullopt));
  provider.registerFileRepresentation("com.example.custom", answering(std::nullopt));

  EXPECT_THAT(
      provider.registeredTypeIdentifiers(),
      testing::ElementsAre("public.file-url", "public.mp3", "public.url", "com.example.custom"));
}

TEST(ItemProvider, HasItemConformingFollowsTypeConformance) {
  struct Case {
    const char* registered;
    const char* asked;
    bool expected;
  };
  const Case cases[] = {
      {"public.mp3", "public.mp3", true},
      {"public.mp3", "public.audio", true},
      {"public.mp3", "public.audiovisual-content", true},
      {"public.mp3", "public.data", true},
      {"public.mp3", "public.movie", false},
      {"public.audio", "public.mp3", false},  // a general type does not stand for a special one
      {"public.file-url", "public.file-url", true},
      {"public.plain-text", "public.file-url", false},
      // Identifiers the type table does not know match only themselves.
      {"com.example.custom", "com.example.custom", true},
      {"com.example.custom", "public.data", false},
      {"public.mp3", "com.example.custom", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.registered << " asked as " << c.asked);
    ItemProvider provider;
    provider.registerFileRepresentation(c.registered, answering(std::nullopt));
    EXPECT_EQ(provider.hasItemConformingToTypeIdentifier(c.asked), c.expected);
  }
  EXPECT_FALSE(ItemProvider().hasItemConformingToTypeIdentifier("public.data"));
}

TEST(ItemProvider, LoadURLAsksTheFirstURLRegistrationAndAnswersOffTheMainThread) {
  ItemProvider provider;
  provider.registerFileRepresentation("public.mp3",
                                      answering(Url::parse("https://example.com/file")));
  provider.registerURL("public.url", answering(Url::parse("https://example.com/first")));
  provider.registerURL("public.file-url", answering(Url::parse("https://example.com/second")));

  const auto mainThread = std::this_thread::get_id();
  const auto delivery = loadOnMain([&](auto completion) { provider.loadURL(completion); });

  EXPECT_EQ(delivery.url, Url::parse("https://example.com/first"));
  EXPECT_FALSE(delivery.error);
  EXPECT_NE(delivery.thread, mainThread);
  EXPECT_FALSE(delivery.onMainThread);
}

TEST(ItemProvider, ALoadReturnsBeforeItsLoaderRuns) {
  std::promise<void> loadReturned;
  auto returned = loadReturned.get_future().share();
  ItemProvider provider;
  provider.registerURL("public.url", [returned](const ItemProvider::Completion& completion) {
    // A load that ran its loader in place would never get here in time.
    const bool afterTheCall = returned.wait_for(10s) == std::future_status::ready;
    completion(afterTheCall ? Url::parse("https://example.com/") : std::nullopt, std::nullopt);
  });

  const auto delivery = loadOnMain([&](auto completion) {
    provider.loadURL(completion);
    loadReturned.set_value();
  });
  EXPECT_TRUE(delivery.url);
}

TEST(ItemProvider, ACompletionGivenOnTheMainThreadIsMovedOffIt) {
  ItemProvider provider;
  provider.registerURL("public.url", [](const ItemProvider::Completion& completion) {
    asio::post(platform::mainContext(),
               [completion] { completion(Url::parse("https://example.com/"), std::nullopt); });
  });
  const auto delivery = loadOnMain([&](auto completion) { provider.loadURL(completion); });
  EXPECT_TRUE(delivery.url);
  EXPECT_FALSE(delivery.onMainThread);
}

TEST(ItemProvider, FailedLoadsGiveNoneAndAnError) {
  TempFolder folder;
  struct Case {
    const char* what;
    std::function<void(ItemProvider&)> offer;
    std::function<void(ItemProvider&, ItemProvider::Completion)> load;
    std::optional<std::errc> expectedError;  // none: any error
  };
  const auto loadURL = [](ItemProvider& provider, auto completion) {
    provider.loadURL(completion);
  };
  const auto loadAudioFile = [](ItemProvider& provider, auto completion) {
    provider.loadFileRepresentation("public.audio", completion);
  };
  const Case cases[] = {
      {"no URL registered",
       [](auto& p) { p.registerFileRepresentation("public.mp3", answering({})); }, loadURL,
       std::nullopt},
      {"the URL loader's error",
       [](auto& p) {
         p.registerURL("public.url", answering({}, std::make_error_code(std::errc::io_error)));
       },
       loadURL, std::errc::io_error},
      {"no file of a conforming type",
       [](auto& p) {
         p.registerURL("public.file-url", answering(Url::fileURL("/", true)));
         p.registerFileRepresentation("public.plain-text", answering(Url::fileURL("/", true)));
       },
       loadAudioFile, std::nullopt},
      {"the file loader's error",
       [](auto& p) {
         p.registerFileRepresentation(
             "public.mp3", answering({}, std::make_error_code(std::errc::permission_denied)));
       },
       loadAudioFile, std::errc::permission_denied},
      {"a handed file that is missing",
       [&](auto& p) {
         p.registerFileRepresentation("public.mp3", answering(fileURL(folder / "gone.mp3")));
       },
       loadAudioFile, std::errc::no_such_file_or_directory},
      {"a handed pipe that no writer has opened",
       [&](auto& p) {
         ::mkfifo((folder / "pipe.mp3").c_str(), 0600);
         p.registerFileRepresentation("public.mp3", answering(fileURL(folder / "pipe.mp3")));
       },
       loadAudioFile, std::errc::invalid_argument},
      {"a handed web link",
       [](auto& p) {
         p.registerFileRepresentation("public.mp3",
                                      answering(Url::parse("https://example.com/a.mp3")));
       },
       loadAudioFile, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ItemProvider provider;
    c.offer(provider);
    const auto delivery = loadOnMain([&](auto completion) { c.load(provider, completion); });
    EXPECT_FALSE(delivery.url);
    ASSERT_TRUE(delivery.error);
    if (c.expectedError) {
      EXPECT_EQ(*delivery.error, std::make_error_code(*c.expectedError));
    }
    EXPECT_FALSE(delivery.onMainThread);
  }
}

TEST(ItemProvider, AFileRepresentationIsATemporaryCopyThatLastsUntilTheCompletionReturns) {
  TempFolder folder;
  const auto original = folder / "Take 1.mp3";
  writeFile(original, "the take");

  std::promise<bool> goneAfterCompletion;
  std::optional<Url> delivered;  // written inside the completion, read after it returned
  ItemProvider provider;
  provider.registerURL("public.file-url", answering(fileURL(folder / "elsewhere.mp3")));
  provider.registerFileRepresentation(
      "public.mp3", [&, handed = fileURL(original)](const ItemProvider::Completion& completion) {
        completion(handed, std::nullopt);
        goneAfterCompletion.set_value(
            delivered && !std::filesystem::exists(delivered->path()) &&
            !std::filesystem::exists(delivered->deletingLastPathComponent().path()));
      });

  const auto delivery = loadOnMain([&](auto completion) {
    provider.loadFileRepresentation("public.audio", [&, completion](auto url, auto error) {
      delivered = url;
      completion(url, error);
    });
  });

  ASSERT_TRUE(delivery.url);
  EXPECT_FALSE(delivery.error);
  EXPECT_EQ(delivery.url->lastPathComponent(), "Take 1.mp3");
  EXPECT_NE(delivery.url->deletingLastPathComponent().path(), folder.path().string());
  EXPECT_EQ(delivery.contentDuringCompletion, "the take");
  EXPECT_FALSE(delivery.onMainThread);
  EXPECT_TRUE(goneAfterCompletion.get_future().get()) << "the copy and its folder are removed";
  EXPECT_EQ(readFile(original), "the take") << "the original stays";
}

// A large recording handed over as a file must not need its size again in free space: the
// temporary shares the original's data.
TEST(ItemProvider, AFileRepresentationCostsNoSpaceBesideItsOriginal) {
  TempFolder folder;
  constexpr std::size_t mebibyte = std::size_t{1} << 20;
  auto disk = testing_support::ScopedMount::tinyTmpfs(folder / "disk", 8 * mebibyte);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  const auto original = folder / "disk" / "Long take.mp3";
  writeFile(original, std::string(6 * mebibyte, 't'));
  const ScopedTemporaryFolder temporaryOnTheDisk(folder / "disk");

  std::promise<void> completionReturned;
  ItemProvider provider;
  provider.registerFileRepresentation(
      "public.mp3", [&, handed = fileURL(original)](const ItemProvider::Completion& completion) {
        completion(handed, std::nullopt);
        completionReturned.set_value();
      });
  const auto delivery = loadOnMain(
      [&](auto completion) { provider.loadFileRepresentation("public.mp3", completion); });
  completionReturned.get_future().get();

  ASSERT_TRUE(delivery.url) << delivery.error.value_or(std::error_code()).message();
  EXPECT_EQ(delivery.contentDuringCompletion, std::string(6 * mebibyte, 't'));
  EXPECT_THAT(testing_support::namesIn(folder / "disk"), ::testing::ElementsAre("Long take.mp3"))
      << "nothing left beside it";
}

// Bytes in use on the file system that holds `folder`.
std::uintmax_t bytesInUse(const std::filesystem::path& folder) {
  struct statvfs disk {};
  EXPECT_EQ(::statvfs(folder.c_str(), &disk), 0) << folder;
  return static_cast<std::uintmax_t>(disk.f_blocks - disk.f_bfree) * disk.f_frsize;
}

// What a receiver saw of a file representation inside its completion.
struct Seen {
  std::optional<std::string> name;
  std::string content;
  std::uintmax_t temporaryBytesGrown = 0;
};

// A recording handed by location on another disk than the temporary folder, which a receiver that
// fails to copy it would otherwise have had copied there in full for nothing: the receiver reads
// the original, under its name, and the temporary folder holds none of its data.
TEST(ItemProvider, AFileRepresentationWritesNoneOfItsDataIntoTheTemporaryFolder) {
  TempFolder folder;
  constexpr std::size_t mebibyte = std::size_t{1} << 20;
  auto temporaryDisk = testing_support::ScopedMount::tinyTmpfs(folder / "tmp", 8 * mebibyte);
  if (!temporaryDisk.ok()) GTEST_SKIP() << temporaryDisk.why();
  std::string data(2 * mebibyte, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
  writeFile(folder / "originals" / "Long take.mp3", data);
  writeFile(folder / "originals" / "Session" / "Take.m4a", data);
  const ScopedTemporaryFolder temporaryOnItsOwnDisk(folder / "tmp");

  struct Case {
    const char* what;
    Url handed;
    const char* readInside;  // what the receiver reads, relative to the delivered location
  };
  const Case cases[] = {
      {"a file", fileURL(folder / "originals" / "Long take.mp3"), ""},
      {"a folder", testing_support::folderURL(folder / "originals" / "Session"), "Take.m4a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = bytesInUse(folder / "tmp");
    std::promise<void> loadEnded;
    ItemProvider provider;
    provider.registerFileRepresentation(
        "public.mp3", [&, handed = c.handed](const ItemProvider::Completion& completion) {
          completion(handed, std::nullopt);
          loadEnded.set_value();
        });
    const auto seen =
        platform::runMain(platform::awaitCallback<Seen>([&](const platform::Resume<Seen>& resume) {
          provider.loadFileRepresentation("public.mp3", [&, resume](auto url, auto /*error*/) {
            Seen inside;
            if (url) {
              inside.name = url->lastPathComponent();
              const std::filesystem::path location = url->path();
              inside.content = readFile(*c.readInside ? location / c.readInside : location);
            }
            inside.temporaryBytesGrown = bytesInUse(folder / "tmp") - before;
            resume(inside);
          });
        }));
    loadEnded.get_future().get();

    EXPECT_EQ(seen.name, c.handed.lastPathComponent());
    EXPECT_TRUE(seen.content == data) << "the whole content, read during the completion";
    EXPECT_LT(seen.temporaryBytesGrown, data.size() / 8) << "no copy in the temporary folder";
    EXPECT_TRUE(std::filesystem::is_empty(folder / "tmp")) << "nothing left behind";
  }
}

// The handed file is opened when it is handed: a file put in its place meanwhile is not read.
TEST(ItemProvider, AFileRepresentationIsTheFileHandedThoughItsNameIsTakenMeanwhile) {
  TempFolder folder;
  writeFile(folder / "Take.mp3", "the take");
  writeFile(folder / "other", "another file");
  ItemProvider provider;
  provider.registerFileRepresentation("public.mp3", answering(fileURL(folder / "Take.mp3")));

  const auto content = platform::runMain(
      platform::awaitCallback<std::string>([&](const platform::Resume<std::string>& resume) {
        provider.loadFileRepresentation("public.mp3", [&, resume](auto url, auto /*error*/) {
          std::filesystem::rename(folder / "other", folder / "Take.mp3");
          resume(url ? readFile(url->path()) : "");
        });
      }));

  EXPECT_EQ(content, "the take");
}

TEST(ItemProvider, ForFileOffersTheFileByLocationAndAsItsOwnType) {
  TempFolder folder;
  struct Case {
    const char* name;
    const char* fileType;
    const char* suggestedName;
  };
  const Case cases[] = {
      {"Interview.mp3", "public.mp3", "Interview"},       {"Report.PDF", "com.adobe.pdf", "Report"},
      {"notes.unknownextension", "public.data", "notes"}, {"README", "public.data", "README"},
      {"Call 10.30.mp3", "public.mp3", "Call 10.30"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = fileURL(folder / c.name);
    writeFile(file.path(), c.name);
    const auto provider = ItemProvider::forFile(file);

    EXPECT_THAT(provider->registeredTypeIdentifiers(),
                testing::ElementsAre("public.file-url", c.fileType));
    EXPECT_TRUE(provider->hasItemConformingToTypeIdentifier("public.file-url"));
    EXPECT_EQ(provider->suggestedName(), c.suggestedName);

    const auto byLocation = loadOnMain([&](auto completion) { provider->loadURL(completion); });
    EXPECT_EQ(byLocation.url, file);

    const auto asFile = loadOnMain(
        [&](auto completion) { provider->loadFileRepresentation("public.data", completion); });
    ASSERT_TRUE(asFile.url);
    EXPECT_NE(*asFile.url, file);
    EXPECT_EQ(asFile.contentDuringCompletion, c.name);
  }
}

}  // namespace
