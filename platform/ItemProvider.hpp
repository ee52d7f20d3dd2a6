#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/Url.hpp"

namespace platform {

// One shared item, as the sharing application offers it: as a URL (a file's location or a web
// link) and/or as files of given content types, with a suggested name.
//
// Loads run their loader on a background thread owned by the platform and call the completion
// exactly once, on a background thread, never on the caller's thread and never before the load
// call has returned.
class ItemProvider : public std::enable_shared_from_this<ItemProvider> {
 public:
  using Completion = std::function<void(std::optional<Url>, std::optional<std::error_code>)>;
  // Runs on a background thread and calls its completion once, with a URL or an error.
  using Loader = std::function<void(Completion)>;

  ItemProvider();
  ~ItemProvider();
  ItemProvider(const ItemProvider&) = delete;
  ItemProvider& operator=(const ItemProvider&) = delete;

  // The sharing side.

  // The file by location (public.file-url) and as a file of its own content type (from its
  // extension, public.data when unknown), with the file's name without extension as suggested name.
  static std::shared_ptr<ItemProvider> forFile(const Url& file);
  // The item as a URL under `typeIdentifier` (public.file-url, public.url, …).
  void registerURL(std::string typeIdentifier, Loader loader);
  // The item as a file of type `typeIdentifier`; the loader hands over a file to copy from.
  void registerFileRepresentation(std::string typeIdentifier, Loader loader);
  void setSuggestedName(std::optional<std::string> name);

  // The receiving side: called on the main thread.

  // Every registered identifier, in registration order, each once.
  std::vector<std::string> registeredTypeIdentifiers() const;
  // True when a registered type is, or conforms to, the given one.
  bool hasItemConformingToTypeIdentifier(std::string_view typeIdentifier) const;
  // Loads the item as a URL. Without a URL registration the completion gets an error.
  void loadURL(Completion completion);
  std::optional<std::string> suggestedName() const;
  // Loads the item as a file of `typeIdentifier` (or of a registered type conforming to it): the
  // completion gets a location to read the handed file or folder from, named like it, which is
  // removed once the completion has returned; or none and an error. The location is the handed
  // item itself, opened once when handed, not a copy of it: the receiver copies from it and
  // neither writes to it nor moves it. A handed pipe, socket or device is refused (EINVAL).
  void loadFileRepresentation(std::string_view typeIdentifier, Completion completion);

  // For the extension runtime, as a request ends: waits until every load started so far has
  // called its completion and that completion has returned, so that nothing a load writes
  // outlives the folders it writes into. No load may be started afterwards.
  static void finishLoads();

 private:
  struct Registration {
    std::string typeIdentifier;
    Loader loader;
    bool isFile;
  };
  std::vector<Registration> registrations_;
  std::optional<std::string> suggestedName_;
};

}  // namespace platform
