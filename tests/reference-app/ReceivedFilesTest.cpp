#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "reference-app/ReceivedFiles.hpp"

namespace {

using platform::Url;
using reference_app::ReceivedFiles;

Url file(const std::string& path) { return Url::fileURL(path, false); }

// Each group as "folder: file file …", newest group first.
std::vector<std::string> described(const ReceivedFiles& received) {
  std::vector<std::string> groups;
  for (const auto& group : received.groups()) {
    std::string text = group.folder.lastPathComponent() + ":";
    for (const auto& shown : group.files) text += " " + shown.lastPathComponent();
    groups.push_back(text);
  }
  return groups;
}

TEST(ReceivedFilesTest, GroupsByFolderNewestFirst) {
  struct Case {
    std::vector<std::string> arriving;
    std::vector<std::string> groups;
  };
  const std::vector<Case> cases{
      {{}, {}},
      {{"/in/A/one.m4a", "/in/A/two.m4a"}, {"A: one.m4a two.m4a"}},
      {{"/in/A/one.m4a", "/in/B/one.m4a"}, {"B: one.m4a", "A: one.m4a"}},
      // A later file makes its folder the newest again.
      {{"/in/A/one.m4a", "/in/B/one.m4a", "/in/A/two.m4a"}, {"A: one.m4a two.m4a", "B: one.m4a"}},
      // A file shown already changes nothing, not even the order.
      {{"/in/A/one.m4a", "/in/B/one.m4a", "/in/A/one.m4a"}, {"B: one.m4a", "A: one.m4a"}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    ReceivedFiles received;
    for (const auto& path : cases[i].arriving) received.add(file(path));
    EXPECT_EQ(described(received), cases[i].groups);
    EXPECT_EQ(received.empty(), cases[i].arriving.empty());
  }
}

TEST(ReceivedFilesTest, AddSaysWhetherTheFileIsNewAndFilesListsEachOnce) {
  ReceivedFiles received;
  EXPECT_TRUE(received.add(file("/in/A/one.m4a")));
  EXPECT_TRUE(received.add(file("/in/B/one.m4a")));
  EXPECT_FALSE(received.add(file("/in/A/one.m4a")));
  EXPECT_EQ(received.files(), (std::vector<Url>{file("/in/A/one.m4a"), file("/in/B/one.m4a")}));
}

}  // namespace
