#pragma once

#include <gtest/gtest.h>

#include <asio/awaitable.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/app/extension/ExtensionContext.hpp"
#include "platform/app/views/TextField.hpp"
#include "platform/app/workspace/Workspace.hpp"
#include "share-extension/ShareViewController.hpp"
#include "tests/support/TempFolder.hpp"

namespace share_extension_test {

// A workspace that records open requests and keeps their completions for the test to call.
class RecordingWorkspace : public platform::Workspace {
 public:
  struct Request {
    std::vector<platform::Url> urls;
    platform::Url application;
    bool activates;
    OpenCompletion completion;
  };

  void openURLs(std::vector<platform::Url> urls, const platform::Url& applicationURL,
                const platform::OpenConfiguration& configuration,
                OpenCompletion completion) override {
    requests.push_back(
        {std::move(urls), applicationURL, configuration.activates(), std::move(completion)});
  }
  std::optional<platform::Url> urlForApplication(std::string_view) const override {
    return std::nullopt;
  }

  std::vector<Request> requests;  // main thread only
};

// A real home of the test's own ($HOME, with no user-database record for the tester; see
// CMakeLists.txt), the recording workspace in the shared one's place, and a controller.
class ShareControllerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::filesystem::path inbox() const;
  void makeInbox() const;
  std::vector<std::filesystem::path> shareFolders() const;

  // A controller with its view loaded, serving `items` (no extension context when none).
  std::shared_ptr<KelpWordShare::ShareViewController> makeController(
      std::optional<std::vector<std::shared_ptr<platform::InputItem>>> items);
  // A file shared by location; its content is its name.
  std::shared_ptr<platform::ItemProvider> sharedFile(const std::string& name) const;

  const std::filesystem::path& folder() const { return temp_.path(); }

  std::shared_ptr<RecordingWorkspace> workspace_ = std::make_shared<RecordingWorkspace>();
  std::shared_ptr<platform::ExtensionContext> context_;

 private:
  testing_support::TempFolder temp_;
  std::shared_ptr<platform::Workspace> replaced_;
  std::optional<std::string> savedHome_;
};

// One extension item with these attachments.
std::shared_ptr<platform::InputItem> item(
    std::optional<std::vector<std::shared_ptr<platform::ItemProvider>>> attachments);

// The sheet's label and its text.
std::shared_ptr<platform::TextField> labelOf(
    const std::shared_ptr<platform::ViewController>& controller);

// Waits on the main loop, letting it run, until `condition` holds; false after `limit`.
asio::awaitable<bool> waitUntil(std::function<bool()> condition,
                                std::chrono::milliseconds limit = std::chrono::seconds(20));

inline const std::string sending = "Sending to KelpWord\u2026";

}  // namespace share_extension_test
