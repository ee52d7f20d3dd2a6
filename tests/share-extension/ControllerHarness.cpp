#include "tests/share-extension/ControllerHarness.hpp"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cstdlib>

#include "DidedaZiv/AudioIntake.hpp"

namespace share_extension_test {

namespace fs = std::filesystem;

void ShareControllerTest::SetUp() {
  if (const char* home = std::getenv("HOME")) savedHome_ = home;  // NOLINT(concurrency-mt-unsafe)
  fs::create_directories(folder() / "home");
  ::setenv("HOME", (folder() / "home").c_str(),
           1);  // NOLINT(concurrency-mt-unsafe): no threads yet
  if (DidedaZiv::AudioIntake::realHome().path() != (folder() / "home").string()) {
    GTEST_SKIP() << "the user database names a real home: run through ctest, which preloads "
                    "nss_wrapper with a passwd file that has no record for this user";
  }
  replaced_ = platform::Workspace::replaceShared(workspace_);
}

void ShareControllerTest::TearDown() {
  if (replaced_) platform::Workspace::replaceShared(replaced_);
  if (savedHome_) {
    ::setenv("HOME", savedHome_->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  } else {
    ::unsetenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  }
}

fs::path ShareControllerTest::inbox() const {
  return folder() / "home/Library/Application Support/com.brenvik.kelpword/Received Files";
}

void ShareControllerTest::makeInbox() const { fs::create_directories(inbox()); }

std::vector<fs::path> ShareControllerTest::shareFolders() const {
  std::vector<fs::path> folders;
  if (!fs::exists(inbox())) return folders;
  for (const auto& entry : fs::directory_iterator(inbox())) folders.push_back(entry.path());
  return folders;
}

std::shared_ptr<KelpWordShare::ShareViewController> ShareControllerTest::makeController(
    std::optional<std::vector<std::shared_ptr<platform::InputItem>>> items) {
  auto controller =
      std::make_shared<KelpWordShare::ShareViewController>(std::nullopt, std::nullopt);
  if (items) {
    context_ = std::make_shared<platform::ExtensionContext>(std::move(*items));
    controller->setExtensionContext(context_);
  }
  controller->view();
  return controller;
}

std::shared_ptr<platform::ItemProvider> ShareControllerTest::sharedFile(
    const std::string& name) const {
  const fs::path path = folder() / "shared" / name;
  testing_support::writeFile(path, name);
  return platform::ItemProvider::forFile(platform::Url::fileURL(path.string(), false));
}

std::shared_ptr<platform::InputItem> item(
    std::optional<std::vector<std::shared_ptr<platform::ItemProvider>>> attachments) {
  auto extensionItem = std::make_shared<platform::ExtensionItem>();
  extensionItem->setAttachments(std::move(attachments));
  return extensionItem;
}

std::shared_ptr<platform::TextField> labelOf(
    const std::shared_ptr<platform::ViewController>& controller) {
  return std::dynamic_pointer_cast<platform::TextField>(controller->view()->subviews().at(0));
}

asio::awaitable<bool> waitUntil(std::function<bool()> condition, std::chrono::milliseconds limit) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) co_return false;
    timer.expires_after(std::chrono::milliseconds(2));
    co_await timer.async_wait(asio::use_awaitable);
  }
  co_return true;
}

}  // namespace share_extension_test
