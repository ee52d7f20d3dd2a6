// kelpword-share's command line: items and options, and the usage errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/app/extension/ShareArguments.hpp"

namespace extension_test {
namespace {

struct ArgumentsCase {
  std::vector<std::string> arguments;
  std::vector<std::pair<platform::ShareArguments::Item::Kind, std::string>> items;
  std::optional<std::string> type;
  std::optional<std::string> name;
  bool usageError = false;
};

TEST(ShareArgumentsTest, ItemsAndOptions) {
  using Kind = platform::ShareArguments::Item::Kind;
  const ArgumentsCase cases[] = {
      {{}, {}, {}, {}},
      {{"a.m4a", "https://example.com/x", "file:///tmp/b%20c.m4a"},
       {{Kind::file, "a.m4a"}, {Kind::link, "https://example.com/x"}, {Kind::file, "/tmp/b c.m4a"}},
       {},
       {}},
      {{"--type", "public.mp3", "-", "--name="}, {{Kind::standardInput, "-"}}, "public.mp3", ""},
      {{"-", "--name", "Memo"}, {{Kind::standardInput, "-"}}, {}, "Memo"},
      {{"--", "--type", "-"}, {{Kind::file, "--type"}, {Kind::standardInput, "-"}}, {}, {}},
      {{"mailto:someone"}, {{Kind::file, "mailto:someone"}}, {}, {}},
      {{"--bogus"}, {}, {}, {}, true},
      {{"-", "--type"}, {}, {}, {}, true},
      {{"-", "-"}, {}, {}, {}, true},
      {{"--type", "public.mp3", "a.m4a"}, {}, {}, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    if (c.usageError) {
      EXPECT_THROW(platform::parseShareArguments(c.arguments), std::invalid_argument);
      continue;
    }
    const auto parsed = platform::parseShareArguments(c.arguments);
    std::vector<std::pair<Kind, std::string>> items;
    for (const auto& item : parsed.items) items.emplace_back(item.kind, item.text);
    EXPECT_EQ(items, c.items);
    EXPECT_EQ(parsed.type, c.type);
    EXPECT_EQ(parsed.name, c.name);
  }
}

TEST(ShareArgumentsTest, UsageErrorsSayWhatIsWrong) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--no-window=1"}, "option --no-window takes no value"},
      {{"--help=yes"}, "option --help takes no value"},
      {{"--version=2"}, "option --version takes no value"},
      {{"--bogus=1"}, "unknown option --bogus"},
      {{"-", "--name"}, "--name needs a value"},
  };
  for (const auto& [arguments, message] : cases) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    try {
      platform::parseShareArguments(arguments);
      ADD_FAILURE() << "no usage error";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(error.what(), message);
    }
  }
}

// Every option the parser takes, as the usage line must name it, and what it asks for.
TEST(ShareArgumentsTest, UsageLineNamesEveryOptionTheParserTakes) {
  struct OptionCase {
    std::vector<std::string> arguments;
    std::string inUsageLine;
    bool help = false;
    bool version = false;
    bool noWindow = false;
  };
  const OptionCase cases[] = {
      {.arguments = {"--type", "public.mp3", "-"}, .inUsageLine = "[--type TYPE]"},
      {.arguments = {"--name", "Memo", "-"}, .inUsageLine = "[--name NAME]"},
      {.arguments = {"--no-window"}, .inUsageLine = "[--no-window]", .noWindow = true},
      {.arguments = {"--version"}, .inUsageLine = "[--version]", .version = true},
      {.arguments = {"--help"}, .inUsageLine = "[--help]", .help = true},
      {.arguments = {"a.m4a"}, .inUsageLine = "[ITEM...]"},
      // Asking for the version or the help is never a usage error, whatever else is given.
      {.arguments = {"--name", "Memo", "--version"}, .inUsageLine = "", .version = true},
  };
  const std::string usage = platform::shareUsage("kelpword-share");
  const std::string usageLine = usage.substr(0, usage.find('\n'));
  EXPECT_TRUE(usageLine.starts_with("Usage: kelpword-share [")) << usageLine;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    EXPECT_NE(usageLine.find(c.inUsageLine), std::string::npos) << usageLine;
    const auto parsed = platform::parseShareArguments(c.arguments);
    EXPECT_EQ(parsed.help, c.help);
    EXPECT_EQ(parsed.version, c.version);
    EXPECT_EQ(parsed.noWindow, c.noWindow);
  }
}

TEST(ShareArgumentsTest, VersionNamesTheProgramAndItsVersion) {
  EXPECT_THAT(platform::shareVersion("kelpword-share"),
              testing::MatchesRegex("kelpword-share [0-9]+\\.[0-9]+\\.[0-9]+\n"));
}

}  // namespace
}  // namespace extension_test
