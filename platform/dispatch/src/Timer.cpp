#include "platform/dispatch/Timer.h"

#include <atomic>
#include <mutex>

namespace platform::dispatch {

struct Timer::State : std::enable_shared_from_this<Timer::State> {
  std::mutex mu;
  std::weak_ptr<Clock> clock;  // weak: the clock holds the scheduled call, which holds this
  std::weak_ptr<Queue> queue;
  Task task;
  std::atomic<bool> cancelled{false};
  bool repeats = false;
  Duration interval{0};
  TimePoint next{};
  uint64_t scheduledId = 0;

  void arm(const ClockPtr& c) {
    std::lock_guard lock(mu);
    if (cancelled) return;
    scheduledId = c->schedule(next, [self = shared_from_this()] { self->fire(); });
  }

  void fire() {
    if (cancelled) return;
    auto q = queue.lock();
    auto c = clock.lock();
    if (!q) return;  // nowhere to run: the timer ends
    q->async([self = shared_from_this()] {
      if (!self->cancelled && self->task) self->task();
    });
    if (!repeats || !c) return;
    {
      std::lock_guard lock(mu);
      next += interval;
      // After a long stall, skip the missed runs instead of running them back to back.
      const auto now = c->now();
      if (next < now) next += ((now - next) / interval + 1) * interval;
    }
    arm(c);
  }
};

void Timer::cancel() {
  if (!state_) return;
  uint64_t id;
  {
    std::lock_guard lock(state_->mu);
    if (state_->cancelled.exchange(true)) return;
    id = state_->scheduledId;
  }
  if (auto c = state_->clock.lock()) c->cancel(id);
}

bool Timer::isCancelled() const { return state_ && state_->cancelled; }

namespace {
Timer start(Duration first, Duration interval, bool repeats, QueuePtr queue, Task task,
            ClockPtr clock) {
  if (!clock) clock = defaultClock();
  auto s = std::make_shared<Timer::State>();
  s->clock = clock;
  s->queue = queue;
  s->task = std::move(task);
  s->repeats = repeats;
  s->interval = interval;
  s->next = clock->now() + first;
  if (first == Duration::zero()) {
    s->fire();  // posts at once; a repeating timer arms its next run from here
  } else {
    s->arm(clock);
  }
  return Timer(s);
}
}  // namespace

Timer after(Duration delay, QueuePtr queue, Task task, ClockPtr clock) {
  if (delay < Duration::zero()) delay = Duration::zero();
  return start(delay, Duration::zero(), false, std::move(queue), std::move(task), std::move(clock));
}

Timer repeating(Duration interval, QueuePtr queue, Task task, RepeatOptions options,
                ClockPtr clock) {
  // A zero interval would spin; the shortest period is one nanosecond.
  if (interval <= Duration::zero()) interval = Duration(1);
  return start(options.fireImmediately ? Duration::zero() : interval, interval, true,
               std::move(queue), std::move(task), std::move(clock));
}

}  // namespace platform::dispatch
