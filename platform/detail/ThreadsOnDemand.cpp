#include "platform/detail/ThreadsOnDemand.hpp"

#include <utility>

namespace platform {

ThreadsOnDemand::ThreadsOnDemand(std::size_t maximum) : maximum_(maximum) {}

ThreadsOnDemand::~ThreadsOnDemand() { stop(); }

void ThreadsOnDemand::post(std::function<void()> job) {
  const std::lock_guard lock(mutex_);
  if (stopping_) return;
  jobs_.push_back(std::move(job));
  // A woken thread stops counting as waiting only once it runs, so more jobs than waiting threads
  // means one of them would wait for a running job to end.
  if (jobs_.size() > waiting_ && threads_.size() < maximum_) {
    threads_.emplace_back([this] { work(); });
  } else {
    wake_.notify_one();
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
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (auto& thread : threads) thread.join();
}

void ThreadsOnDemand::work() {
  std::unique_lock lock(mutex_);
  while (true) {
    if (stopping_) return;
    if (jobs_.empty()) {
      ++waiting_;
      wake_.wait(lock);
      --waiting_;
      continue;
    }
    auto job = std::move(jobs_.front());
    jobs_.pop_front();
    ++running_;
    lock.unlock();
    job();
    // Let go of what the job holds before it counts as done.
    job = nullptr;
    lock.lock();
    --running_;
    if (jobs_.empty() && running_ == 0) idle_.notify_all();
  }
}

}  // namespace platform
