#include "platform/Url.hpp"

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/TempFolder.hpp"

namespace {

using platform::Url;

TEST(UrlTest, FileUrlsCarryTheirDirectoryMarkAndEncodedText) {
  struct Case {
    std::string path;
    bool isDirectory;
    std::string text;
    std::string decodedPath;
  };
  const Case cases[] = {
      {"/a/b.m4a", false, "file:///a/b.m4a", "/a/b.m4a"},
      {"/a/b", true, "file:///a/b/", "/a/b"},
      {"/a/b/", false, "file:///a/b", "/a/b"},
      {"/a//b///", true, "file:///a/b/", "/a/b"},
      {"/", false, "file:///", "/"},
      {"/", true, "file:///", "/"},
      {"/Users/a b/Take #1?.m4a", false, "file:///Users/a%20b/Take%20%231%3F.m4a",
       "/Users/a b/Take #1?.m4a"},
      {"/x/100%.txt", false, "file:///x/100%25.txt", "/x/100%.txt"},
      {"/x/caf\u00e9", false, "file:///x/caf%C3%A9", "/x/caf\u00e9"},
      {"/x/a:b@c+d=e,f;g&h$i'j(k)!l~m_n", false, "file:///x/a:b@c+d=e,f;g&h$i'j(k)!l~m_n",
       "/x/a:b@c+d=e,f;g&h$i'j(k)!l~m_n"},
      {"/x/tab\tline\nend", false, "file:///x/tab%09line%0Aend", "/x/tab\tline\nend"},
      {"/x/\"<>[]\\^`{|}", false, "file:///x/%22%3C%3E%5B%5D%5C%5E%60%7B%7C%7D",
       "/x/\"<>[]\\^`{|}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Url url = Url::fileURL(c.path, c.isDirectory);
    EXPECT_TRUE(url.isFileURL());
    EXPECT_EQ(url.absoluteString(), c.text);
    EXPECT_EQ(url.path(), c.decodedPath);
    EXPECT_EQ(url.hasDirectoryPath(), c.isDirectory || c.path == "/");
  }
}

TEST(UrlTest, RelativePathIsTakenAgainstTheCurrentFolder) {
  const std::string current = std::filesystem::current_path().string();
  EXPECT_EQ(Url::fileURL("rel/x.m4a", false).path(), current + "/rel/x.m4a");
  EXPECT_EQ(Url::fileURL("rel", true), Url::fileURL(current + "/rel", true));
}

TEST(UrlTest, FileUrlTextParsesBackToTheSameUrl) {
  const std::string paths[] = {
      "/a b/c%20d/#?&=",
      "/x/caf\u00e9/e\u0301",
      "/x/\x80\xff invalid utf-8",
      "/x/%",
      "/x/%2",
      "/tmp/ctrl\x01\x7f",
      "/Library/Application Support/com.brenvik.kelpword/Received Files",
  };
  for (const auto& path : paths) {
    for (const bool isDirectory : {false, true}) {
      SCOPED_TRACE(path + (isDirectory ? " (folder)" : ""));
      const Url url = Url::fileURL(path, isDirectory);
      const auto parsed = Url::parse(url.absoluteString());
      ASSERT_TRUE(parsed.has_value());
      EXPECT_EQ(*parsed, url);
      EXPECT_EQ(parsed->path(), path);
      EXPECT_EQ(parsed->hasDirectoryPath(), isDirectory);
    }
  }
}

TEST(UrlTest, ParseTakesAbsoluteUrlsAndRefusesTheRest) {
  struct Parsed {
    std::string path;
    std::string absoluteString;
    bool isFile;
    bool isDirectory;
  };
  struct Case {
    std::string text;
    std::optional<Parsed> parsed;
  };
  const Case cases[] = {
      {"https://example.com/a%20b/c.mp3?x=1#f",
       Parsed{"/a b/c.mp3", "https://example.com/a%20b/c.mp3?x=1#f", false, false}},
      {"https://example.com", Parsed{"", "https://example.com", false, false}},
      {"https://example.com/folder/",
       Parsed{"/folder", "https://example.com/folder/", false, true}},
      {"mailto:someone@example.com",
       Parsed{"someone@example.com", "mailto:someone@example.com", false, false}},
      {"file:///tmp/a%20b/", Parsed{"/tmp/a b", "file:///tmp/a%20b/", true, true}},
      {"file://localhost/tmp/x", Parsed{"/tmp/x", "file:///tmp/x", true, false}},
      {"FILE:///tmp/x", Parsed{"/tmp/x", "file:///tmp/x", true, false}},
      {"file:/tmp/x", Parsed{"/tmp/x", "file:///tmp/x", true, false}},
      {"file:///tmp/%78", Parsed{"/tmp/x", "file:///tmp/x", true, false}},
      // No scheme.
      {"/tmp/x", std::nullopt},
      {"relative/x.m4a", std::nullopt},
      {"", std::nullopt},
      {":nothing", std::nullopt},
      {"1http://example.com", std::nullopt},
      // Not a valid URL text.
      {"https://exa mple.com", std::nullopt},
      {"https://example.com/caf\u00e9", std::nullopt},
      {"file:///a%2", std::nullopt},
      {"file:///a%zz", std::nullopt},
      // File URLs that name no local path.
      {"file://elsewhere/x", std::nullopt},
      {"file:///a%00b", std::nullopt},
      {"file:///a?query", std::nullopt},
      {"file:///a#fragment", std::nullopt},
      {"file:relative", std::nullopt},
      {"file://", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto url = Url::parse(c.text);
    ASSERT_EQ(url.has_value(), c.parsed.has_value());
    if (!url) continue;
    EXPECT_EQ(url->isFileURL(), c.parsed->isFile);
    EXPECT_EQ(url->path(), c.parsed->path);
    EXPECT_EQ(url->absoluteString(), c.parsed->absoluteString);
    EXPECT_EQ(url->hasDirectoryPath(), c.parsed->isDirectory);
  }
}

TEST(UrlTest, LastComponentAndExtension) {
  struct Case {
    std::string path;
    bool isDirectory;
    std::string lastComponent;
    std::string extension;
  };
  const Case cases[] = {
      {"/a/b.m4a", false, "b.m4a", "m4a"},
      {"/a/b.tar.gz", false, "b.tar.gz", "gz"},
      {"/a/Take.MP3", false, "Take.MP3", "MP3"},
      {"/a/b", false, "b", ""},
      {"/a/.m4a", false, ".m4a", ""},
      {"/a/.hidden.m4a", false, ".hidden.m4a", "m4a"},
      {"/a/b.", false, "b.", ""},
      {"/a/b c.d e", false, "b c.d e", "d e"},
      {"/a/b.d", true, "b.d", "d"},
      {"/a.d/b", false, "b", ""},
      {"/a/..", false, "..", ""},
      {"/", true, "/", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Url url = Url::fileURL(c.path, c.isDirectory);
    EXPECT_EQ(url.lastPathComponent(), c.lastComponent);
    EXPECT_EQ(url.pathExtension(), c.extension);
  }
}

TEST(UrlTest, PathOperationsOnFileUrls) {
  enum class Operation { append, appendFolder, deleteLast, deleteExtension, standardize };
  struct Case {
    std::string path;
    bool isDirectory;
    Operation operation;
    std::string component;
    std::string expectedText;
  };
  using enum Operation;
  const Case cases[] = {
      {"/a", true, append, "b.m4a", "file:///a/b.m4a"},
      {"/a", false, append, "b.m4a", "file:///a/b.m4a"},
      {"/a", false, appendFolder, "b", "file:///a/b/"},
      {"/", true, append, "x", "file:///x"},
      {"/a", true, append, "b#1 %.m4a", "file:///a/b%231%20%25.m4a"},
      {"/h", true, appendFolder, "Library/Application Support/com.brenvik.kelpword/Received Files",
       "file:///h/Library/Application%20Support/com.brenvik.kelpword/Received%20Files/"},
      {"/a", true, append, "/b/", "file:///a/b"},
      {"/a", true, append, "", "file:///a/"},
      {"/a", false, appendFolder, "", "file:///a/"},
      {"/a/b", false, deleteLast, "", "file:///a/"},
      {"/a/b", true, deleteLast, "", "file:///a/"},
      {"/a", false, deleteLast, "", "file:///"},
      {"/", true, deleteLast, "", "file:///"},
      {"/a/b.m4a", false, deleteExtension, "", "file:///a/b"},
      {"/a/b.tar.gz", false, deleteExtension, "", "file:///a/b.tar"},
      {"/a/b c.m4a", false, deleteExtension, "", "file:///a/b%20c"},
      {"/a/b.d", true, deleteExtension, "", "file:///a/b/"},
      {"/a/.m4a", false, deleteExtension, "", "file:///a/.m4a"},
      {"/a.d/b", false, deleteExtension, "", "file:///a.d/b"},
      {"/", true, deleteExtension, "", "file:///"},
      {"/a/b/../c", false, standardize, "", "file:///a/c"},
      {"/a/./b", false, standardize, "", "file:///a/b"},
      {"/a/b/./", true, standardize, "", "file:///a/b/"},
      {"/../a", false, standardize, "", "file:///a"},
      {"/a/../../..", false, standardize, "", "file:///"},
      {"/a/b/..", false, standardize, "", "file:///a/"},
      {"/a/.", false, standardize, "", "file:///a/"},
      {"/a/..b/.c", false, standardize, "", "file:///a/..b/.c"},
      {"/a b/../c d", false, standardize, "", "file:///c%20d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " [" + std::to_string(static_cast<int>(c.operation)) + "] " +
                 c.component);
    const Url url = Url::fileURL(c.path, c.isDirectory);
    std::optional<Url> result;
    switch (c.operation) {
      case append:
        result = url.appendingPathComponent(c.component);
        break;
      case appendFolder:
        result = url.appendingPathComponent(c.component, true);
        break;
      case deleteLast:
        result = url.deletingLastPathComponent();
        break;
      case deleteExtension:
        result = url.deletingPathExtension();
        break;
      case standardize:
        result = url.standardized();
        break;
    }
    EXPECT_EQ(result->absoluteString(), c.expectedText);
    EXPECT_TRUE(result->isFileURL());
    // The text and the decoded path always describe one location.
    EXPECT_EQ(*result, *Url::parse(c.expectedText));
  }
}

TEST(UrlTest, PathOperationsOnWebLinksKeepHostQueryAndFragment) {
  const Url link = *Url::parse("https://example.com/a/b.mp3?x=1#top");
  EXPECT_EQ(link.appendingPathComponent("c d").absoluteString(),
            "https://example.com/a/b.mp3/c%20d?x=1#top");
  EXPECT_EQ(link.deletingLastPathComponent().absoluteString(), "https://example.com/a/?x=1#top");
  EXPECT_EQ(link.deletingPathExtension().absoluteString(), "https://example.com/a/b?x=1#top");
  EXPECT_EQ(link.lastPathComponent(), "b.mp3");
  EXPECT_EQ(link.pathExtension(), "mp3");
  EXPECT_EQ(Url::parse("https://e.com/a/./b/../c")->standardized().absoluteString(),
            "https://e.com/a/c");
  EXPECT_FALSE(link.appendingPathComponent("x").isFileURL());
  EXPECT_EQ(Url::parse("https://example.com")->appendingPathComponent("x").absoluteString(),
            "https://example.com/x");
}

TEST(UrlTest, EqualityIsByText) {
  const Url plain = Url::fileURL("/a/b", false);
  EXPECT_EQ(plain, Url::fileURL("/a/b", false));
  EXPECT_EQ(plain, *Url::parse("file:///a/b"));
  EXPECT_NE(plain, Url::fileURL("/a/./b", false));
  EXPECT_NE(plain, Url::fileURL("/a/c/../b", false));
  EXPECT_NE(plain, Url::fileURL("/a/b", true));
  EXPECT_NE(plain, *Url::parse("https://localhost/a/b"));
  EXPECT_EQ(Url::fileURL("/a/./b", false).standardized(), plain);
  EXPECT_EQ(Url::fileURL("/a/c/../b", false).standardized(), plain);
  // Canonically equivalent spellings are different file names on Linux.
  EXPECT_NE(Url::fileURL("/caf\u00e9", false), Url::fileURL("/cafe\u0301", false));
}

class UrlSymlinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(temp / "real/inner");
    testing_support::writeFile(temp / "real/file.m4a", "x");
    std::filesystem::create_directory_symlink(temp / "real", temp / "absolute");
    std::filesystem::create_directory_symlink("real", temp / "relative");
    std::filesystem::create_directory_symlink("relative/inner", temp / "chain");
    std::filesystem::create_symlink("nowhere/deeper", temp / "dangling");
    std::filesystem::create_symlink("loop2", temp / "loop1");
    std::filesystem::create_symlink("loop1", temp / "loop2");
  }

  Url at(const std::string& relative, bool isDirectory = false) const {
    return Url::fileURL(temp.path().string() + "/" + relative, isDirectory);
  }

  testing_support::TempFolder temp;
};

TEST_F(UrlSymlinkTest, ResolvesLinksAsFarAsThePathExists) {
  struct Case {
    std::string path;
    bool isDirectory;
    std::string resolved;
  };
  const Case cases[] = {
      {"absolute/file.m4a", false, "real/file.m4a"},
      {"relative/file.m4a", false, "real/file.m4a"},
      {"chain", true, "real/inner"},
      {"chain/../file.m4a", false, "real/file.m4a"},
      {"relative/../real/./file.m4a", false, "real/file.m4a"},
      {"relative/missing/x.m4a", false, "real/missing/x.m4a"},
      {"relative/missing/../file.m4a", false, "real/file.m4a"},
      {"relative/missing/./more/", true, "real/missing/more"},
      {"dangling/x", false, "nowhere/deeper/x"},
      {"real/file.m4a/below", false, "real/file.m4a/below"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Url resolved = at(c.path, c.isDirectory).resolvingSymlinksInPath();
    EXPECT_EQ(resolved, at(c.resolved, c.isDirectory));
    EXPECT_EQ(resolved.hasDirectoryPath(), c.isDirectory);
  }
}

TEST_F(UrlSymlinkTest, LinkLoopEndsResolution) {
  const Url resolved = at("loop1/x").resolvingSymlinksInPath();
  EXPECT_EQ(resolved.path().rfind(temp.path().string() + "/", 0), 0u) << resolved.path();
  EXPECT_EQ(resolved.lastPathComponent(), "x");
}

TEST_F(UrlSymlinkTest, WebLinksAreLeftAlone) {
  const Url link = *Url::parse("https://example.com/a/../b");
  EXPECT_EQ(link.resolvingSymlinksInPath(), link);
}

}  // namespace
