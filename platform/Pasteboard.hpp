#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/OperationQueue.hpp"
#include "platform/Url.hpp"

namespace platform {

// Files that the drag source writes only when asked: the promise of one dragged item.
class FilePromiseReceiver {
 public:
  // Called once per promised file, with its location, or with an error when it did not arrive.
  using Reader = std::function<void(Url, std::optional<std::error_code>)>;
  // The source's side: writes each promised file into the folder, on a thread of its own, and
  // reports each once.
  using Writer = std::function<void(const Url& destinationFolder, Reader report)>;

  FilePromiseReceiver(std::vector<std::string> fileTypes, Writer writer);

  // The content type identifiers of the promised files.
  const std::vector<std::string>& fileTypes() const;

  // Asks the source to write the promised files into `destination` and returns at once. The source
  // writes on its own thread; `reader` runs on `queue`, once per promised file. `queue` is held by
  // reference: it must outlive the source's last report.
  void receivePromisedFiles(const Url& destination, OperationQueue& queue, Reader reader);

 private:
  std::vector<std::string> fileTypes_;
  Writer writer_;
};

// The drag pasteboard of one drop: its items in order.
class Pasteboard {
 public:
  void add(Url url);  // a file location or a web link
  void add(std::shared_ptr<FilePromiseReceiver> promise);

  // The file locations, in order; never web links.
  std::vector<Url> readFileURLs() const;
  // The file promises, in order.
  std::vector<std::shared_ptr<FilePromiseReceiver>> readFilePromiseReceivers() const;

 private:
  std::vector<Url> urls_;
  std::vector<std::shared_ptr<FilePromiseReceiver>> promises_;
};

}  // namespace platform
