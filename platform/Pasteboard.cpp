#include "platform/Pasteboard.hpp"

#include <stdexcept>
#include <thread>
#include <utility>

namespace platform {

FilePromiseReceiver::FilePromiseReceiver(std::vector<std::string> fileTypes, Writer writer)
    : fileTypes_(std::move(fileTypes)), writer_(std::move(writer)) {
  if (!writer_) throw std::invalid_argument("a file promise needs a writer");
}

const std::vector<std::string>& FilePromiseReceiver::fileTypes() const { return fileTypes_; }

void FilePromiseReceiver::receivePromisedFiles(const Url& destination, OperationQueue& queue,
                                               Reader reader) {
  // The source writes on a thread of its own that may outlive this receiver and the caller's
  // frame: it takes the writer, the folder and the reader by value. Only the queue is shared, by
  // reference, and must outlive the reports.
  Reader report = [&queue, reader = std::move(reader)](Url location,
                                                       std::optional<std::error_code> error) {
    queue.addOperation(
        [reader, location = std::move(location), error] { reader(location, error); });
  };
  // noexcept: a source that throws instead of reporting breaks its promise, and ends the process.
  std::thread([writer = writer_, destination, report = std::move(report)]() noexcept {
    writer(destination, report);
  }).detach();
}

void Pasteboard::add(Url url) { urls_.push_back(std::move(url)); }

void Pasteboard::add(std::shared_ptr<FilePromiseReceiver> promise) {
  if (!promise) throw std::invalid_argument("a pasteboard item cannot be a null file promise");
  promises_.push_back(std::move(promise));
}

std::vector<Url> Pasteboard::readFileURLs() const {
  std::vector<Url> files;
  for (const auto& url : urls_) {
    if (url.isFileURL()) files.push_back(url);
  }
  return files;
}

std::vector<std::shared_ptr<FilePromiseReceiver>> Pasteboard::readFilePromiseReceivers() const {
  return promises_;
}

}  // namespace platform
