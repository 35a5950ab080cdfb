#include "platform/dispatch/PumpedQueue.h"

#include <algorithm>

namespace platform::dispatch {

PumpedQueue::PumpedQueue(std::string label)
    : label_(std::move(label)), owner_(std::this_thread::get_id()) {}

void PumpedQueue::async(Task task) {
  {
    std::lock_guard lock(mu_);
    tasks_.push_back(std::move(task));
  }
  cv_.notify_all();
}

bool PumpedQueue::isCurrent() const { return std::this_thread::get_id() == owner_; }

bool PumpedQueue::pumpOne() {
  Task task;
  {
    std::lock_guard lock(mu_);
    if (tasks_.empty()) return false;
    task = std::move(tasks_.front());
    tasks_.pop_front();
  }
  CurrentGuard guard(this);
  if (task) task();
  return true;
}

size_t PumpedQueue::pump() {
  size_t n = 0;
  while (pumpOne()) ++n;
  return n;
}

size_t PumpedQueue::waitAndPump(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, timeout, [&] { return !tasks_.empty(); });
  }
  return pump();
}

bool PumpedQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pump();
    if (done()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // `done` may turn true on another thread without a post, so look again every few ms.
    std::unique_lock lock(mu_);
    cv_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(2)),
                   [&] { return !tasks_.empty(); });
  }
}

size_t PumpedQueue::pending() const {
  std::lock_guard lock(mu_);
  return tasks_.size();
}

ScopedMainQueue::ScopedMainQueue()
    : queue_(std::make_shared<PumpedQueue>("main")), previous_(exchangeMainQueue(queue_)) {}

ScopedMainQueue::~ScopedMainQueue() { installMainQueue(previous_); }

}  // namespace platform::dispatch
