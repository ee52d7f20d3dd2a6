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

}  // namespace
}  // namespace extension_test
