#include "platform/detail/ThreadsOnDemand.hpp"

#include <utility>

#include "platform/detail/LookForAMoment.hpp"

namespace platform {

ThreadsOnDemand::ThreadsOnDemand(std::size_t maximum) : maximum_(maximum) {}

ThreadsOnDemand::~ThreadsOnDemand() { stop(); }

void ThreadsOnDemand::post(std::function<void()> job) {
  const std::lock_guard lock(mutex_);
  if (stopping_) return;
  jobs_.push_back(std::move(job));
  queued_.store(jobs_.size(), std::memory_order_relaxed);
  // A thread looking, or one woken already, takes a job of its own; only the jobs beyond those
  // need a sleeping thread woken, or a new one.
  if (jobs_.size() <= looking_ + wakeUps_) return;
  if (sleeping_ > wakeUps_) {
    ++wakeUps_;
    wake_.notify_one();
  } else if (threads_.size() < maximum_) {
    try {
      threads_.emplace_back([this] { work(); });
    } catch (...) {
      // With no thread at all, the job would wait forever, and join() with it.
      if (threads_.empty()) {
        jobs_.pop_back();
        queued_.store(jobs_.size(), std::memory_order_relaxed);
        throw;
      }
    }
  }
}

void ThreadsOnDemand::join() {
  {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return jobs_.empty() && running_ == 0; });
  }
  stop();
}

void ThreadsOnDemand::stop() {
  // Dropped jobs go outside the lock: what they hold may post again as it goes.
  std::deque<std::function<void()>> dropped;
  std::vector<std::thread> threads;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(jobs_);
    queued_.store(0, std::memory_order_relaxed);
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (auto& thread : threads) thread.join();
}

void ThreadsOnDemand::lookForAJob(std::unique_lock<std::mutex>& lock) {
  ++looking_;
  lock.unlock();
  detail::lookForAMoment([this] { return queued_.load(std::memory_order_relaxed) != 0; });
  lock.lock();
  --looking_;
}

void ThreadsOnDemand::sleep(std::unique_lock<std::mutex>& lock) {
  ++sleeping_;
  wake_.wait(lock, [this] { return wakeUps_ > 0 || stopping_; });
  --sleeping_;
  if (wakeUps_ > 0) --wakeUps_;
}

void ThreadsOnDemand::work() {
  std::unique_lock lock(mutex_);
  // Jobs often come one after another, each posted as the last one's result is taken in: one
  // thread looks for the next for a moment, which saves putting it to sleep and waking it.
  bool mayLook = true;
  while (!stopping_) {
    if (jobs_.empty()) {
      if (mayLook && looking_ == 0) {
        lookForAJob(lock);
        mayLook = false;
      } else {
        sleep(lock);
        mayLook = true;
      }
      continue;
    }
    auto job = std::move(jobs_.front());
    jobs_.pop_front();
    queued_.store(jobs_.size(), std::memory_order_relaxed);
    ++running_;
    lock.unlock();
    job();
    // Let go of what the job holds before it counts as done.
    job = nullptr;
    lock.lock();
    --running_;
    mayLook = true;
    if (jobs_.empty() && running_ == 0) idle_.notify_all();
  }
}

}  // namespace platform
