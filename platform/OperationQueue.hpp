#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace platform {

// A background queue: operations run on its own threads, several at once, never on the main
// thread. Destroying the queue waits for the operations already added.
class OperationQueue {
 public:
  enum class QualityOfService {
    background = 9,
    utility = 17,
    standard = -1,
    userInitiated = 25,
    userInteractive = 33,
  };

  explicit OperationQueue(std::size_t maxConcurrentOperations = 4);
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // Recorded only: Linux threads of one process are scheduled alike.
  void setQualityOfService(QualityOfService qos);
  QualityOfService qualityOfService() const;

  void addOperation(std::function<void()> operation);

  // The queue whose operation is running on the calling thread, or nullptr.
  static OperationQueue* current();

 private:
  struct Threads;
  std::unique_ptr<Threads> threads_;
  QualityOfService qos_ = QualityOfService::standard;
};

}  // namespace platform
