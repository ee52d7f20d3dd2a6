#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "reference-app/LocalFile.hpp"

namespace {

using reference_app::localFile;

TEST(LocalFileTest, OnlyFileUrisOfThisComputerNameALocalFile) {
  struct Case {
    std::string uri;
    std::optional<std::string> path;  // none: refused
  };
  const std::vector<Case> cases{
      {.uri = "file:///x.m4a", .path = "/x.m4a"},
      {.uri = "file://localhost/x.m4a", .path = "/x.m4a"},
      {.uri = "file://LocalHost/x.m4a", .path = "/x.m4a"},
      {.uri = "file://this-computer/x.m4a", .path = "/x.m4a"},
      {.uri = "FILE:///x.m4a", .path = "/x.m4a"},
      {.uri = "file:///In%20Box/Caf%C3%A9.m4a", .path = "/In Box/Caf\u00e9.m4a"},
      // Another computer's file is not the local file of the same path.
      {.uri = "file://otherhost/x.m4a"},
      {.uri = "file://this-computer.example/x.m4a"},
      {.uri = "https://example.com/x.m4a"},
      {.uri = "sftp://this-computer/x.m4a"},
      {.uri = "file:x.m4a"},
      {.uri = "/x.m4a"},
      {.uri = "file://"},
      {.uri = ""},
      // A path no file can have: an escaped "/" or NUL.
      {.uri = "file:///a%2Fb.m4a"},
      {.uri = "file:///a%00b.m4a"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i) + ": " + cases[i].uri);
    const auto file = localFile(cases[i].uri, "this-computer");
    EXPECT_EQ(file.has_value(), cases[i].path.has_value());
    if (file && cases[i].path) {
      EXPECT_EQ(file->path(), *cases[i].path);
    }
  }
}

TEST(LocalFileTest, CommandLineArgumentsBecomeUrisAsASecondInstanceHandsThemOn) {
  struct Case {
    std::string argument;
    std::string uri;
  };
  const std::vector<Case> cases{
      {.argument = "/in/Call 1.m4a", .uri = "file:///in/Call%201.m4a"},
      {.argument = "/in/../in/./x.m4a", .uri = "file:///in/x.m4a"},
      {.argument = "file://otherhost/x.m4a", .uri = "file://otherhost/x.m4a"},
      {.argument = "https://example.com/x.m4a", .uri = "https://example.com/x.m4a"},
  };
  for (const auto& [argument, uri] : cases) {
    EXPECT_EQ(reference_app::commandLineUri(argument), uri) << argument;
  }
  // A relative path is the current folder's file, a local one.
  const auto relative = localFile(reference_app::commandLineUri("x.m4a"), "");
  ASSERT_TRUE(relative);
  EXPECT_EQ(relative->path(), std::filesystem::current_path() / "x.m4a");
}

}  // namespace
