#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

// Runs posted jobs on at most `maximum` threads, each made only when a job finds no thread
// waiting: a process that loads one item starts one thread, not a pool's worth. A thread that
// runs out of jobs looks for the next for a moment (50 µs) before it sleeps, one thread at a
// time. Private to the platform layer; not installed.
class ThreadsOnDemand {
 public:
  explicit ThreadsOnDemand(std::size_t maximum);
  // Drops the jobs that have not started and joins the threads.
  ~ThreadsOnDemand();
  ThreadsOnDemand(const ThreadsOnDemand&) = delete;
  ThreadsOnDemand& operator=(const ThreadsOnDemand&) = delete;

  // Runs `job` on one of the threads, in the order posted. Dropped once join() has ended the
  // threads. Throws std::system_error when not even one thread could be made, keeping nothing.
  void post(std::function<void()> job);

  // Waits until every job posted so far, and every job those post, has returned; then ends the
  // threads. Nothing posted afterwards runs.
  void join();

 private:
  void work();
  void stop();
  void lookForAJob(std::unique_lock<std::mutex>& lock);
  void sleep(std::unique_lock<std::mutex>& lock);

  const std::size_t maximum_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> jobs_;
  std::atomic<std::size_t> queued_{0};  // jobs_.size(), for threads looking without the lock
  std::vector<std::thread> threads_;
  std::size_t looking_ = 0;   // threads looking for a job without sleeping
  std::size_t sleeping_ = 0;  // threads asleep until woken
  std::size_t wakeUps_ = 0;   // sleeping threads woken that have not yet taken a job
  std::size_t running_ = 0;
  bool stopping_ = false;
};

}  // namespace platform
