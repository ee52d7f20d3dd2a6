#include "platform/OperationQueue.hpp"

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <stdexcept>
#include <utility>

namespace platform {
namespace {

// The queue whose operation the calling thread is running now.
thread_local OperationQueue* runningQueue = nullptr;

class RunningQueueScope {
 public:
  explicit RunningQueueScope(OperationQueue* queue)
      : previous_(std::exchange(runningQueue, queue)) {}
  ~RunningQueueScope() { runningQueue = previous_; }
  RunningQueueScope(const RunningQueueScope&) = delete;
  RunningQueueScope& operator=(const RunningQueueScope&) = delete;

 private:
  OperationQueue* previous_;
};

}  // namespace

struct OperationQueue::Threads {
  explicit Threads(std::size_t count) : pool(count) {}
  asio::thread_pool pool;
};

OperationQueue::OperationQueue(std::size_t maxConcurrentOperations) {
  // A queue without threads would take operations and never run them.
  if (maxConcurrentOperations == 0) {
    throw std::invalid_argument("an operation queue needs at least one thread");
  }
  threads_ = std::make_unique<Threads>(maxConcurrentOperations);
}

OperationQueue::~OperationQueue() {
  // join() lets the threads finish every operation already added; the pool's own destructor
  // would stop first and drop those still waiting.
  threads_->pool.join();
}

void OperationQueue::setQualityOfService(QualityOfService qos) { qos_ = qos; }

OperationQueue::QualityOfService OperationQueue::qualityOfService() const { return qos_; }

void OperationQueue::addOperation(std::function<void()> operation) {
  // noexcept: an exception escaping an operation has no one to go to, so it ends the process here,
  // where the failing operation is still on the stack.
  asio::post(threads_->pool, [this, operation = std::move(operation)]() noexcept {
    RunningQueueScope scope(this);
    operation();
  });
}

OperationQueue* OperationQueue::current() { return runningQueue; }

}  // namespace platform
