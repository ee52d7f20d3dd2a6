#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Url.hpp"

namespace platform {

// A bundle: a folder `Name.app` (or `.appex`) holding `Contents/Info.plist` and the program in
// `Contents/MacOS/`. A value; reads its Info.plist when asked.
class Bundle {
 public:
  explicit Bundle(Url bundleURL);

  // The bundle of the running program: the folder X when the program lies at
  // X/Contents/MacOS/…, else the folder the program lies in. Worked out once per process.
  static const Bundle& main();

  // The bundle that holds the program at `executable` (see main()).
  static Bundle containing(const Url& executable);

  const Url& bundleURL() const { return url_; }
  // A string value of Info.plist's top-level dictionary; none when the file, the key or a
  // string value is missing.
  std::optional<std::string> infoValue(std::string_view key) const;
  std::optional<std::string> bundleIdentifier() const { return infoValue("CFBundleIdentifier"); }
  // Contents/MacOS/<CFBundleExecutable>; none without that key.
  std::optional<Url> executableURL() const;

 private:
  Url url_;
};

// The string value of `key` in the top-level dictionary of an XML property list; none when the
// key is missing or its value is not a string. Never throws on malformed text.
std::optional<std::string> propertyListString(std::string_view plistText, std::string_view key);

}  // namespace platform
