#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A content type from the platform's built-in table: an identifier ("public.mpeg-4-audio"), the
// types it conforms to, its file-name extensions and, for concrete types, a preferred one. Every
// audio and video type conforms to audiovisualContent(). A value: copies are cheap.
class UTType {
 public:
  // The type named by `identifier`; none when the table has no such type.
  static std::optional<UTType> withIdentifier(std::string_view identifier);
  // The type of files ending in `extension` (without the dot, letter case ignored) among the
  // types conforming to `conformingTo`; none when the table knows no such type.
  static std::optional<UTType> forFilenameExtension(std::string_view extension,
                                                    const UTType& conformingTo);

  static const UTType& audiovisualContent();  // public.audiovisual-content
  static const UTType& data();                // public.data
  static const UTType& fileURL();             // public.file-url

  const std::string& identifier() const;
  // True when this type is `to` or descends from it.
  bool conforms(const UTType& to) const;
  // The usual extension, without the dot ("m4a"); none for abstract types such as public.audio.
  std::optional<std::string> preferredFilenameExtension() const;

  friend bool operator==(const UTType& a, const UTType& b) { return a.entry_ == b.entry_; }

  struct Entry;  // a row of the table

 private:
  explicit UTType(const Entry* entry) : entry_(entry) {}
  const Entry* entry_;
};

}  // namespace platform
