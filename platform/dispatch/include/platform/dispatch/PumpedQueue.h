#pragma once
// A main queue for tests and simple hosts: tasks run only when the owning thread pumps.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/dispatch/Queue.h"

namespace platform::dispatch {

class PumpedQueue : public Queue {
 public:
  // The calling thread becomes the queue's thread.
  explicit PumpedQueue(std::string label = "main");

  void async(Task task) override;
  bool isCurrent() const override;
  std::string label() const override { return label_; }

  // Runs queued tasks, including those they post, until the queue is empty; returns how many ran.
  size_t pump();
  // Runs at most one queued task; returns whether one ran.
  bool pumpOne();
  // Pumps, waiting for posts from other threads, until `done()` holds or `timeout` of real time
  // passes (a guard against hangs, not a timer of ours); returns `done()`.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits up to `timeout` for at least one task, then pumps; returns how many ran.
  size_t waitAndPump(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Tasks waiting to run.
  size_t pending() const;

 private:
  std::string label_;
  std::thread::id owner_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Task> tasks_;
};

// Installs a fresh PumpedQueue as the main queue for a scope and restores the previous one after.
class ScopedMainQueue {
 public:
  ScopedMainQueue();
  ~ScopedMainQueue();
  ScopedMainQueue(const ScopedMainQueue&) = delete;
  ScopedMainQueue& operator=(const ScopedMainQueue&) = delete;

  PumpedQueue& queue() { return *queue_; }
  std::shared_ptr<PumpedQueue> shared() { return queue_; }
  size_t pump() { return queue_->pump(); }

 private:
  std::shared_ptr<PumpedQueue> queue_;
  QueuePtr previous_;
};

}  // namespace platform::dispatch
