// A recording shared out of a Flatpak application arrives as a path in the document portal, a
// FUSE file system under $XDG_RUNTIME_DIR/doc/. The real xdg-document-portal, on a session bus
// and in a runtime folder of the test's own, exports a recording; the confined share copies it.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include "tests/e2e/E2eFixture.hpp"
#include "tests/support/PrivateBus.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;

const fs::path documentPortal = "/usr/libexec/xdg-document-portal";
const fs::path permissionStore = "/usr/libexec/xdg-permission-store";

// Exports a file through the portal with a descriptor, which its command-line client cannot pass.
fs::path exportProgram() { return DOCUMENT_PORTAL_EXPORT; }

class DocumentPortalTest : public ShareExtensionTest {
 protected:
  void SetUp() override {
    ShareExtensionTest::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists(documentPortal) || !fs::exists(permissionStore)) {
      GTEST_SKIP() << "xdg-document-portal is not installed (xdg-desktop-portal)";
    }
    if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse for the portal's file system";
    if (!testing_support::privateBusAvailable()) GTEST_SKIP() << "dbus-daemon is not installed";
    fs::create_directories(runtime());
    fs::permissions(runtime(), fs::perms::owner_all);
    bus_.emplace(folder() / "bus");
    // Started by the bus when first asked, in the test's world: never the real home's files.
    const std::string world = "/usr/bin/env XDG_RUNTIME_DIR=" + runtime().string() +
                              " XDG_DATA_HOME=" + (folder() / "data-home").string() +
                              " HOME=" + (folder() / "not-the-home").string() + " ";
    bus_->addService("org.freedesktop.portal.Documents", world + documentPortal.string());
    bus_->addService("org.freedesktop.impl.portal.PermissionStore",
                     world + permissionStore.string());
    addEnvironment("DBUS_SESSION_BUS_ADDRESS", bus_->address());
  }

  void TearDown() override {
    // The portal's mount first: a FUSE mount whose server has gone leaves its folder unusable,
    // so much that even asking whether it exists fails. Unmounted without asking; when nothing
    // is mounted there the call fails, and that is fine.
    ::umount2((runtime() / "doc").c_str(), MNT_DETACH);
    bus_.reset();
  }

  fs::path runtime() const { return folder() / "runtime"; }

  // The path under which the portal shows `file`.
  fs::path exported(const fs::path& file) const {
    testing_support::ProcessOptions options;
    options.environment = environment();
    const auto result = testing_support::run({exportProgram().string(), file.string()}, options);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    std::string id = result.out;
    while (!id.empty() && id.back() == '\n') id.pop_back();
    return runtime() / "doc" / id / file.filename();
  }

 private:
  std::optional<testing_support::PrivateBus> bus_;
};

TEST_F(DocumentPortalTest, ARecordingInThePortalIsCopiedWholeUnderItsName) {
  makeInbox();
  const std::string content = testing_support::patterned(3 * 1024 * 1024 + 17);
  testing_support::writeFile(folder() / "app-data" / "Field recording.m4a", content);
  const fs::path shared = exported(folder() / "app-data" / "Field recording.m4a");
  ASSERT_TRUE(fs::exists(shared)) << shared << " is not in the portal";
  struct statfs where {};
  ASSERT_EQ(::statfs(shared.c_str(), &where), 0);
  ASSERT_EQ(where.f_type, 0x65735546) << "not on the portal's FUSE file system";

  const auto result = share({shared.string()});

  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, sending);
  const auto folders = shareFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(testing_support::namesIn(folders[0]), std::vector<std::string>{"Field recording.m4a"});
  EXPECT_TRUE(readFile(folders[0] / "Field recording.m4a") == content) << "the copy differs";
  const auto starts = opened();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].files,
            std::vector<std::string>{(folders[0] / "Field recording.m4a").string()});
}

}  // namespace
}  // namespace e2e
