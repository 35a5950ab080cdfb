#pragma once
// The time source of our timers: the steady clock, or a virtual clock that tests advance.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace platform::dispatch {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::steady_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  // Calls `fire` once at or after `when` (on the clock's thread, or inside advance()); returns an
  // id for cancel(). `fire` must be quick: timers use it to post onto their queue.
  virtual uint64_t schedule(TimePoint when, std::function<void()> fire) = 0;
  // Drops a scheduled call that has not started; unknown ids are ignored.
  virtual void cancel(uint64_t id) = 0;
};

using ClockPtr = std::shared_ptr<Clock>;

// Real time: one thread waiting for the earliest deadline.
class SteadyClock : public Clock {
 public:
  SteadyClock();
  ~SteadyClock() override;
  TimePoint now() const override;
  uint64_t schedule(TimePoint when, std::function<void()> fire) override;
  void cancel(uint64_t id) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Time that moves only when advanced; due calls run in deadline order inside advance().
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(TimePoint start = TimePoint{} + std::chrono::hours(1));
  TimePoint now() const override;
  uint64_t schedule(TimePoint when, std::function<void()> fire) override;
  void cancel(uint64_t id) override;

  // Moves time forward by `d`, running every call due on the way (including ones they schedule)
  // with now() set to each call's deadline; returns how many ran.
  size_t advance(Duration d);
  size_t advanceTo(TimePoint t);
  // Earliest pending deadline, if any.
  std::optional<TimePoint> nextDeadline() const;
  size_t pendingCount() const;

 private:
  mutable std::mutex mu_;
  TimePoint now_;
  uint64_t nextId_ = 1;
  // (deadline, id) keeps equal deadlines in scheduling order.
  std::map<std::pair<TimePoint, uint64_t>, std::function<void()>> due_;
};

// The clock timers use when none is given: a process-wide SteadyClock unless one is installed.
ClockPtr defaultClock();
// Installs the default clock (tests install a VirtualClock); nullptr restores the steady clock.
void installDefaultClock(ClockPtr clock);

// Installs a VirtualClock as the default clock for a scope.
class ScopedVirtualClock {
 public:
  ScopedVirtualClock();
  ~ScopedVirtualClock();
  ScopedVirtualClock(const ScopedVirtualClock&) = delete;
  ScopedVirtualClock& operator=(const ScopedVirtualClock&) = delete;
  VirtualClock& clock() { return *clock_; }
  std::shared_ptr<VirtualClock> shared() { return clock_; }
  size_t advance(Duration d) { return clock_->advance(d); }

 private:
  std::shared_ptr<VirtualClock> clock_;
  ClockPtr previous_;
};

}  // namespace platform::dispatch
