#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A location: a file in the file system (a file URL) or any other absolute URL, such as a web
// link. A value; two URLs are equal when their texts are equal, so two spellings of one file's
// location ("/a/b" and "/a/./b") are different URLs. No operation here touches the disk except
// resolvingSymlinksInPath().
class Url {
 public:
  // A file URL for `path`. A relative path is taken against the current folder (std::system_error
  // when that cannot be read). `isDirectory` marks the URL as a folder's: its text then ends in
  // "/". Repeated "/" are made one; "." and ".." stay as written.
  static Url fileURL(std::string path, bool isDirectory);

  // Any absolute URL text ("https://…", "file:///…"); none for text without a scheme, or with a
  // character that must be percent-encoded (a space, a byte beyond ASCII) or a broken "%" escape.
  // File URL texts are percent-decoded into their path; one that names no path on this machine
  // (another host, a query or fragment, an encoded NUL) gives none.
  static std::optional<Url> parse(std::string_view text);

  bool isFileURL() const;
  // True for a folder's location (the text ends in "/").
  bool hasDirectoryPath() const;

  // The decoded file-system path, without a trailing "/" except for the root "/". For a URL that
  // is not a file URL, the decoded path part of its text.
  std::string path() const;
  // The URL's full text, percent-encoded ("file:///Users/a%20b/").
  std::string absoluteString() const;

  // The last component of the path ("b.m4a" for "/a/b.m4a", "/" for the root).
  std::string lastPathComponent() const;
  // The text after the last "." of the last component, "" when there is none. A name that only
  // begins with a "." (".m4a") has no extension.
  std::string pathExtension() const;

  // This location with `component` added; "a/b" adds two components. `isDirectory` marks the
  // result as a folder's.
  Url appendingPathComponent(std::string_view component, bool isDirectory = false) const;
  // The enclosing folder ("/a/" for "/a/b"); the root stays the root, marked as a folder.
  Url deletingLastPathComponent() const;
  // This location without the extension of its last component and its ".".
  Url deletingPathExtension() const;

  // "." and ".." components removed, by text alone ("/a/b/../c" gives "/a/c").
  Url standardized() const;
  // The same place with every symbolic link in the path resolved, as far as the path exists on
  // disk; the directory mark is kept. Non-file URLs are returned unchanged.
  Url resolvingSymlinksInPath() const;

  friend bool operator==(const Url& a, const Url& b) { return a.text_ == b.text_; }

 private:
  Url(std::string text, std::string path, bool isFile);

  std::string text_;  // absoluteString()
  std::string path_;  // decoded path, directory mark included
  bool isFile_ = false;
};

}  // namespace platform
