#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  // The type of files of MIME type `mimeType` ("audio/mpeg"; letter case, and parameters after
  // ";", ignored) among the types conforming to `conformingTo`: the first that prefers that MIME
  // type, else the first that knows it as an alias ("audio/x-wav" gives
  // com.microsoft.waveform-audio); none when the table knows no such type.
  static std::optional<UTType> forMIMEType(std::string_view mimeType,
                                           const UTType& conformingTo = data());
  // Every type the table knows, abstract ones included, in the table's order.
  static std::vector<UTType> allTypes();

  static const UTType& audiovisualContent();  // public.audiovisual-content
  static const UTType& data();                // public.data
  static const UTType& fileURL();             // public.file-url

  const std::string& identifier() const;
  // True when this type is `to` or descends from it.
  bool conforms(const UTType& to) const;
  // The usual extension, without the dot ("m4a"); none for abstract types such as public.audio.
  std::optional<std::string> preferredFilenameExtension() const;
  // The MIME types of this type's files: the preferred one first, then the other names in use,
  // those of the desktop's shared MIME database included ("audio/vnd.wave", "audio/wav",
  // "audio/x-wav"). Empty for abstract types and for types without a MIME type of their own.
  const std::vector<std::string>& mimeTypes() const;
  // The first of mimeTypes(); none when there is none.
  std::optional<std::string> preferredMIMEType() const;

  friend bool operator==(const UTType& a, const UTType& b) { return a.entry_ == b.entry_; }

  struct Entry;  // a row of the table

 private:
  explicit UTType(const Entry* entry) : entry_(entry) {}
  const Entry* entry_;
};

}  // namespace platform
