// The share flow and the hand-off, in process: what runs when, what the flow gathers and
// decides, and who keeps the controller alive.
#include <gtest/gtest.h>

#include <asio/awaitable.hpp>

#include "DidedaZiv/AudioIntake.hpp"
#include "platform/MainThread.hpp"
#include "platform/app/views/Button.hpp"
#include "platform/app/workspace/RunningApplication.hpp"
#include "tests/share-extension/ControllerHarness.hpp"
#include "tests/support/Mounts.hpp"

#include <unistd.h>

namespace share_extension_test {
namespace {

namespace fs = std::filesystem;
namespace AudioIntake = DidedaZiv::AudioIntake;
using Items = std::vector<std::shared_ptr<platform::InputItem>>;

const std::string handOffFailed =
    "KelpWord didn\u2019t open. Open KelpWord, then drop the recording on the Files tab.";

// An input item of a kind other than an extension item.
class OtherItem : public platform::InputItem {};

// The received files' names, in the order they went to the workspace.
std::vector<std::string> namesOf(const std::vector<platform::Url>& urls) {
  std::vector<std::string> names;
  for (const auto& url : urls) names.push_back(url.lastPathComponent());
  return names;
}

TEST_F(ShareControllerTest, TheFlowRunsOnlyAfterViewDidAppearHasReturnedAndOnlyOnce) {
  makeInbox();
  const auto controller = makeController(Items{item({{sharedFile("a.m4a")}})});

  platform::runMain([&]() -> asio::awaitable<void> {
    controller->viewDidAppear();
    EXPECT_TRUE(shareFolders().empty()) << "the per-share folder is made by the task, later";
    controller->viewDidAppear();
    EXPECT_TRUE(co_await waitUntil([&] { return !workspace_->requests.empty(); }));
    controller->viewDidAppear();
    co_await waitUntil([] { return false; }, std::chrono::milliseconds(100));
  }());

  EXPECT_EQ(shareFolders().size(), 1u);
  ASSERT_EQ(workspace_->requests.size(), 1u);
  EXPECT_EQ(namesOf(workspace_->requests[0].urls), std::vector<std::string>{"a.m4a"});
  EXPECT_TRUE(workspace_->requests[0].activates);
}

TEST_F(ShareControllerTest, AMissingInboxFailsAtOnceWithoutAShareFolderOrAnImport) {
  const auto controller = makeController(Items{item({{sharedFile("a.m4a")}})});

  controller->viewDidAppear();

  EXPECT_EQ(labelOf(controller)->stringValue(), AudioIntake::openKelpWordFirstMessage);
  EXPECT_NE(controller->view()->defaultButton(), nullptr);
  platform::runMain([&]() -> asio::awaitable<void> {
    controller->viewDidAppear();  // a second appearance: no second message, button or import
    co_await waitUntil([] { return false; }, std::chrono::milliseconds(100));
  }());
  EXPECT_EQ(controller->view()->subviews().size(), 2u);
  EXPECT_FALSE(fs::exists(folder() / "home/Library"));
  EXPECT_TRUE(workspace_->requests.empty());
}

TEST_F(ShareControllerTest, ProvidersAreGatheredAcrossItemsAndTheirAttachmentsInOrder) {
  makeInbox();
  const auto controller = makeController(Items{
      item({{sharedFile("a.m4a"), sharedFile("b.m4a")}}),
      item(std::nullopt),
      item(std::vector<std::shared_ptr<platform::ItemProvider>>{}),
      item({{sharedFile("c.m4a")}}),
  });

  platform::runMain([&]() -> asio::awaitable<void> {
    controller->viewDidAppear();
    EXPECT_TRUE(co_await waitUntil([&] { return !workspace_->requests.empty(); }));
  }());

  ASSERT_EQ(workspace_->requests.size(), 1u);
  EXPECT_EQ(namesOf(workspace_->requests[0].urls),
            (std::vector<std::string>{"a.m4a", "b.m4a", "c.m4a"}));
}

// How the outcomes of one share decide what happens. Providers: a = audio file by location,
// t = a text offered as data (not audio), m = an audio file that is not there (cannot be got).
struct Reduction {
  const char* name;
  std::optional<Items> items;  // none: no extension context at all
  std::vector<std::string> opened;
  std::string message;
};

TEST_F(ShareControllerTest, OutcomesAreReducedToOneHandOffOrOneMessage) {
  auto text = [] {
    auto provider = std::make_shared<platform::ItemProvider>();
    provider->registerFileRepresentation(
        "public.plain-text", [](const platform::ItemProvider::Completion&) {
          ADD_FAILURE() << "a type that is not audio is never loaded";
        });
    return provider;
  };
  auto missing = [this] {
    return platform::ItemProvider::forFile(
        platform::Url::fileURL((folder() / "gone.m4a").string(), false));
  };
  const std::string notAudio(AudioIntake::notAudioMessage);
  const std::string couldNotGet(AudioIntake::couldNotGetMessage);
  const Reduction cases[] = {
      {"files opened in order, problems dropped",
       Items{item({{text(), sharedFile("u1.m4a")}}), item({{missing(), sharedFile("u2.m4a")}})},
       {"u1.m4a", "u2.m4a"},
       sending},
      {"the first problem shown", Items{item({{missing(), text()}})}, {}, couldNotGet},
      {"the first problem shown, the other way", Items{item({{text(), missing()}})}, {}, notAudio},
      {"no items", Items{}, {}, notAudio},
      {"no extension context", std::nullopt, {}, notAudio},
      {"an item of another kind empties the whole list",
       Items{item({{sharedFile("a.m4a")}}), std::make_shared<OtherItem>()},
       {},
       notAudio},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(inbox());
    makeInbox();
    workspace_->requests.clear();
    const auto controller = makeController(c.items);

    platform::runMain([&]() -> asio::awaitable<void> {
      controller->viewDidAppear();
      EXPECT_TRUE(co_await waitUntil([&] {
        return !workspace_->requests.empty() || controller->view()->defaultButton() != nullptr;
      }));
    }());

    EXPECT_EQ(labelOf(controller)->stringValue(), c.message);
    if (c.opened.empty()) {
      EXPECT_TRUE(workspace_->requests.empty());
      EXPECT_NE(controller->view()->defaultButton(), nullptr);
    } else {
      ASSERT_EQ(workspace_->requests.size(), 1u);
      EXPECT_EQ(namesOf(workspace_->requests[0].urls), c.opened);
      EXPECT_EQ(controller->view()->defaultButton(), nullptr);
    }
    ASSERT_EQ(shareFolders().size(), 1u) << "a per-share folder, kept whatever happens";
  }
}

TEST_F(ShareControllerTest, AShareFolderThatCannotBeMadeShowsCouldNotGet) {
  makeInbox();
  const auto readOnly = testing_support::ScopedMount::readOnlyBind(inbox());
  if (!readOnly.ok()) GTEST_SKIP() << readOnly.why();
  const auto controller = makeController(Items{item({{sharedFile("a.m4a")}})});

  platform::runMain([&]() -> asio::awaitable<void> {
    controller->viewDidAppear();
    EXPECT_TRUE(co_await waitUntil([&] { return controller->view()->defaultButton() != nullptr; }));
  }());

  EXPECT_EQ(labelOf(controller)->stringValue(), AudioIntake::couldNotGetMessage);
  EXPECT_TRUE(workspace_->requests.empty());
}

// The workspace's report, handled by a task that runs after the completion has returned.
struct HandOff {
  const char* name;
  bool withError;
  bool withRunningApplication;
  platform::ExtensionContext::State state;
  std::string label;
};

TEST_F(ShareControllerTest, TheWorkspaceReportIsHandledAfterItsCallbackHasReturned) {
  const HandOff cases[] = {
      {"error and a running application", true, true, platform::ExtensionContext::State::open,
       handOffFailed},
      {"error alone", true, false, platform::ExtensionContext::State::open, handOffFailed},
      {"neither", false, false, platform::ExtensionContext::State::completed, sending},
      {"a running application alone", false, true, platform::ExtensionContext::State::completed,
       sending},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    makeInbox();
    workspace_->requests.clear();
    const auto controller = makeController(Items{item({{sharedFile("a.m4a")}})});

    platform::runMain([&]() -> asio::awaitable<void> {
      controller->viewDidAppear();
      EXPECT_TRUE(co_await waitUntil([&] { return !workspace_->requests.empty(); }));
      if (workspace_->requests.empty()) co_return;
      auto running = c.withRunningApplication
                         ? platform::RunningApplication::withProcessIdentifier(::getpid())
                         : nullptr;
      std::optional<std::error_code> error;
      if (c.withError) error = std::make_error_code(std::errc::no_such_file_or_directory);
      workspace_->requests[0].completion(running, error);
      EXPECT_EQ(context_->state(), platform::ExtensionContext::State::open)
          << "handled inside the callback";
      EXPECT_EQ(labelOf(controller)->stringValue(), sending) << "handled inside the callback";
      EXPECT_TRUE(co_await waitUntil([&] {
        return context_->state() != platform::ExtensionContext::State::open ||
               controller->view()->defaultButton() != nullptr;
      }));
    }());

    EXPECT_EQ(context_->state(), c.state);
    EXPECT_EQ(labelOf(controller)->stringValue(), c.label);
    EXPECT_EQ(controller->view()->defaultButton() != nullptr, c.withError);
    if (c.state == platform::ExtensionContext::State::completed) {
      EXPECT_FALSE(context_->returnedItems().has_value())
          << "no item list: a null one, not an empty one";
    }
  }
}

TEST_F(ShareControllerTest, TheFlowAndTheHandOffKeepTheControllerAliveUntilTheyEnd) {
  makeInbox();
  std::weak_ptr<KelpWordShare::ShareViewController> weak;

  platform::runMain([&]() -> asio::awaitable<void> {
    {
      const auto controller = makeController(Items{item({{sharedFile("a.m4a")}})});
      weak = controller;
      controller->viewDidAppear();
    }
    EXPECT_FALSE(weak.expired()) << "the flow's task holds the controller";
    EXPECT_TRUE(co_await waitUntil([&] { return !workspace_->requests.empty(); }));
    if (workspace_->requests.empty()) co_return;
    EXPECT_FALSE(weak.expired()) << "the workspace's completion holds the controller";

    auto completion = std::move(workspace_->requests[0].completion);
    workspace_->requests.clear();
    completion(nullptr, std::nullopt);
    completion = nullptr;
    EXPECT_FALSE(weak.expired()) << "the hand-off's task holds the controller";

    EXPECT_TRUE(co_await waitUntil([&] { return weak.expired(); }));
    EXPECT_EQ(context_->state(), platform::ExtensionContext::State::completed);
  }());
}

}  // namespace
}  // namespace share_extension_test
