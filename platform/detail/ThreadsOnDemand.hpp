#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

// Runs posted jobs on at most `maximum` threads, each made only when a job finds no thread
// waiting: a process that loads one item starts one thread, not a pool's worth. Private to the
// platform layer; not installed.
class ThreadsOnDemand {
 public:
  explicit ThreadsOnDemand(std::size_t maximum);
  // Drops the jobs that have not started and joins the threads.
  ~ThreadsOnDemand();
  ThreadsOnDemand(const ThreadsOnDemand&) = delete;
  ThreadsOnDemand& operator=(const ThreadsOnDemand&) = delete;

  // Runs `job` on one of the threads, in the order posted. Dropped once join() has begun.
  void post(std::function<void()> job);

  // Waits until every job posted so far, and every job those post, has returned; then ends the
  // threads. Nothing posted afterwards runs.
  void join();

 private:
  void work();
  void stop();

  const std::size_t maximum_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t waiting_ = 0;
  std::size_t running_ = 0;
  bool stopping_ = false;
};

}  // namespace platform
