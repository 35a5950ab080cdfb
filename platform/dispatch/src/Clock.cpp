#include "platform/dispatch/Clock.h"

#include <condition_variable>
#include <thread>
#include <vector>

namespace platform::dispatch {

struct SteadyClock::Impl {
  std::mutex mu;
  std::condition_variable cv;
  std::map<std::pair<TimePoint, uint64_t>, std::function<void()>> due;
  uint64_t nextId = 1;
  bool stopping = false;
  std::thread thread;

  void run() {
    std::unique_lock lock(mu);
    while (!stopping) {
      if (due.empty()) {
        cv.wait(lock);
        continue;
      }
      auto first = due.begin();
      if (first->first.first > std::chrono::steady_clock::now()) {
        // A copy: cancel() may erase the entry while this thread waits.
        const auto when = first->first.first;
        cv.wait_until(lock, when);
        continue;
      }
      auto fire = std::move(first->second);
      due.erase(first);
      lock.unlock();
      fire();
      fire = nullptr;
      lock.lock();
    }
  }
};

SteadyClock::SteadyClock() : impl_(std::make_unique<Impl>()) {
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

SteadyClock::~SteadyClock() {
  {
    std::lock_guard lock(impl_->mu);
    impl_->stopping = true;
  }
  impl_->cv.notify_all();
  if (impl_->thread.get_id() == std::this_thread::get_id()) {
    impl_->thread.detach();
    // The thread still uses impl; let it leak rather than free it under the running thread.
    (void)impl_.release();
  } else {
    impl_->thread.join();
  }
}

TimePoint SteadyClock::now() const { return std::chrono::steady_clock::now(); }

uint64_t SteadyClock::schedule(TimePoint when, std::function<void()> fire) {
  uint64_t id;
  {
    std::lock_guard lock(impl_->mu);
    id = impl_->nextId++;
    impl_->due.emplace(std::make_pair(when, id), std::move(fire));
  }
  impl_->cv.notify_all();
  return id;
}

void SteadyClock::cancel(uint64_t id) {
  std::function<void()> dropped;  // destroyed outside the lock
  std::lock_guard lock(impl_->mu);
  for (auto it = impl_->due.begin(); it != impl_->due.end(); ++it) {
    if (it->first.second == id) {
      dropped = std::move(it->second);
      impl_->due.erase(it);
      break;
    }
  }
}

VirtualClock::VirtualClock(TimePoint start) : now_(start) {}

TimePoint VirtualClock::now() const {
  std::lock_guard lock(mu_);
  return now_;
}

uint64_t VirtualClock::schedule(TimePoint when, std::function<void()> fire) {
  std::lock_guard lock(mu_);
  const uint64_t id = nextId_++;
  due_.emplace(std::make_pair(when, id), std::move(fire));
  return id;
}

void VirtualClock::cancel(uint64_t id) {
  std::function<void()> dropped;
  std::lock_guard lock(mu_);
  for (auto it = due_.begin(); it != due_.end(); ++it) {
    if (it->first.second == id) {
      dropped = std::move(it->second);
      due_.erase(it);
      break;
    }
  }
}

size_t VirtualClock::advance(Duration d) { return advanceTo(now() + d); }

size_t VirtualClock::advanceTo(TimePoint t) {
  size_t ran = 0;
  std::unique_lock lock(mu_);
  while (!due_.empty() && due_.begin()->first.first <= t) {
    auto first = due_.begin();
    if (first->first.first > now_) now_ = first->first.first;
    auto fire = std::move(first->second);
    due_.erase(first);
    lock.unlock();
    fire();
    fire = nullptr;
    ++ran;
    lock.lock();
  }
  if (t > now_) now_ = t;
  return ran;
}

std::optional<TimePoint> VirtualClock::nextDeadline() const {
  std::lock_guard lock(mu_);
  if (due_.empty()) return std::nullopt;
  return due_.begin()->first.first;
}

size_t VirtualClock::pendingCount() const {
  std::lock_guard lock(mu_);
  return due_.size();
}

namespace {
std::mutex& clockMutex() {
  static std::mutex m;
  return m;
}
ClockPtr& clockSlot() {
  static ClockPtr c;
  return c;
}
}  // namespace

ClockPtr defaultClock() {
  std::lock_guard lock(clockMutex());
  if (!clockSlot()) clockSlot() = std::make_shared<SteadyClock>();
  return clockSlot();
}

void installDefaultClock(ClockPtr clock) {
  std::lock_guard lock(clockMutex());
  clockSlot() = std::move(clock);
}

ScopedVirtualClock::ScopedVirtualClock() : clock_(std::make_shared<VirtualClock>()) {
  std::lock_guard lock(clockMutex());
  previous_ = clockSlot();
  clockSlot() = clock_;
}

ScopedVirtualClock::~ScopedVirtualClock() { installDefaultClock(previous_); }

}  // namespace platform::dispatch
