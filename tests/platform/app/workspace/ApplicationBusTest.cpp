// Which name an application has on the session bus, and that without a bus nothing goes over
// one. The calls themselves are tested end to end, on a bus of the tests' own (tests/e2e).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

#include "platform/app/workspace/ApplicationBus.hpp"
#include "tests/support/TempFolder.hpp"

namespace workspace_test {
namespace {

namespace bus = platform::application_bus;
using platform::Url;

TEST(ApplicationBusTest, ADesktopEntryIsKnownOnTheBusByItsIdAndABundleByItsIdentifier) {
  testing_support::TempFolder folder;
  const auto bundle = [&](const std::string& identifier) {
    const auto at = folder / (identifier + ".app");
    testing_support::writeFile(at / "Contents/Info.plist",
                               "<plist><dict><key>CFBundleIdentifier</key><string>" + identifier +
                                   "</string></dict></plist>");
    return Url::fileURL(at.string(), true);
  };
  struct Case {
    Url application;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {Url::fileURL("/usr/share/applications/com.brenvik.kelpword.desktop", false),
       "com.brenvik.kelpword"},
      {Url::fileURL("/apps/org.example.Kelp-Word.desktop", false), "org.example.Kelp-Word"},
      {Url::fileURL("/apps/kelpword.desktop", false), std::nullopt},  // one element
      {Url::fileURL("/apps/com.9brenvik.kelpword.desktop", false), std::nullopt},
      {Url::fileURL("/apps/com..kelpword.desktop", false), std::nullopt},
      {bundle("com.brenvik.kelpword"), "com.brenvik.kelpword"},
      {bundle("not a name"), std::nullopt},
      {Url::fileURL((folder / "Nothing.app").string(), true), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.application.path());
    EXPECT_EQ(bus::busName(c.application), c.name);
  }
}

TEST(ApplicationBusTest, WellKnownNamesFollowTheBusRules) {
  struct Case {
    std::string name;
    bool wellKnown;
  };
  const Case cases[] = {
      {"com.brenvik.kelpword", true},
      {"org.example.Kelp-Word", true},
      {"_a.b_1", true},
      {"a.b", true},
      {std::string(126, 'a') + "." + std::string(128, 'b'), true},   // 255 bytes
      {std::string(127, 'a') + "." + std::string(128, 'b'), false},  // 256
      {"kelpword", false},                                           // one element
      {"", false},
      {"com..kelpword", false},
      {".com.kelpword", false},
      {"com.kelpword.", false},
      {"com.9brenvik.kelpword", false},
      {":1.42", false},  // a unique name
      {"com.bren vik.kelpword", false},
      {"com.caf\u00e9.kelpword", false},
      {std::string("com.a\0b.c", 9), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bus::isWellKnownName(c.name), c.wellKnown);
  }
}

TEST(ApplicationBusTest, WithoutASessionBusNothingGoesOverOne) {
  testing_support::TempFolder runtime;                            // no "bus" socket in it
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");  // NOLINT(concurrency-mt-unsafe)
  const char* folder = std::getenv("XDG_RUNTIME_DIR");            // NOLINT(concurrency-mt-unsafe)
  const std::optional<std::string> savedAddress =
      address ? std::optional<std::string>(address) : std::nullopt;
  const std::optional<std::string> savedFolder =
      folder ? std::optional<std::string>(folder) : std::nullopt;
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");  // NOLINT(concurrency-mt-unsafe): tests run one at a time
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)

  const std::vector<Url> files = {Url::fileURL("/a.m4a", false)};
  EXPECT_FALSE(bus::openThrough("com.brenvik.kelpword", /*activatable=*/true, files));
  EXPECT_FALSE(bus::openThrough("com.brenvik.kelpword", /*activatable=*/false, files));
  try {
    bus::open("com.brenvik.kelpword", {Url::fileURL("/a.m4a", false)});
    ADD_FAILURE() << "opened without a bus";
  } catch (const std::system_error& failure) {
    EXPECT_EQ(failure.code().value(), ENOTCONN);
  }

  // NOLINTBEGIN(concurrency-mt-unsafe)
  if (savedAddress) ::setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress->c_str(), 1);
  if (savedFolder) {
    ::setenv("XDG_RUNTIME_DIR", savedFolder->c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
  // NOLINTEND(concurrency-mt-unsafe)
}

}  // namespace
}  // namespace workspace_test
