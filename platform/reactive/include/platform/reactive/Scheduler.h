#pragma once
// Where and when signal work runs: the main queue, inline, a background queue (the default), any
// queue, or a test scheduler in virtual time.
#include <memory>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/PumpedQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/reactive/Disposable.h"

namespace platform::reactive {

using dispatch::Duration;
using dispatch::TimePoint;
using Task = std::function<void()>;

class Scheduler;
using SchedulerPtr = std::shared_ptr<Scheduler>;

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  // Runs `task` on the scheduler; disposing before it starts cancels it.
  virtual Disposable schedule(Task task) = 0;
  // Runs `task` once after `delay`.
  virtual Disposable after(Duration delay, Task task) = 0;
  // Runs `task` every `period`, the first time one period from now, until disposed.
  virtual Disposable every(Duration period, Task task) = 0;
  // The time of the scheduler's clock.
  virtual TimePoint now() const = 0;

  // The host's main queue and the default clock, both looked up at each use.
  static SchedulerPtr mainThread();
  // Runs scheduled work at once on the calling thread; timed work runs from the clock.
  static SchedulerPtr immediate();
  // A shared background queue, timed by the default clock; the default of delay().
  static SchedulerPtr background();
  // A scheduler on any queue; `clock` nullptr means the default clock at each use.
  static SchedulerPtr onQueue(dispatch::QueuePtr queue, dispatch::ClockPtr clock = nullptr);
};

// Virtual time with its own queue: advance() moves the clock and runs what became due.
class TestScheduler : public Scheduler {
 public:
  TestScheduler();
  Disposable schedule(Task task) override;
  Disposable after(Duration delay, Task task) override;
  Disposable every(Duration period, Task task) override;
  TimePoint now() const override;

  // Moves time forward by `d`, running due work in time order; returns how many tasks ran.
  size_t advance(Duration d);
  // Runs work that is due now.
  size_t pump() { return queue_->pump(); }
  const std::shared_ptr<dispatch::VirtualClock>& clock() const { return clock_; }

 private:
  std::shared_ptr<dispatch::VirtualClock> clock_;
  std::shared_ptr<dispatch::PumpedQueue> queue_;
  SchedulerPtr inner_;
};

}  // namespace platform::reactive
