#include "platform/reactive/Scheduler.h"

#include <atomic>
#include <mutex>

#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/Timer.h"

namespace platform::reactive {

namespace {

// Runs tasks inline: the queue behind the immediate scheduler.
class InlineQueue : public dispatch::Queue {
 public:
  void async(dispatch::Task task) override {
    if (task) task();
  }
  bool isCurrent() const override { return true; }
  std::string label() const override { return "immediate"; }
};

Disposable timerDisposable(dispatch::Timer t) {
  return Disposable::create([t]() mutable { t.cancel(); });
}

class QueueScheduler : public Scheduler {
 public:
  using QueueSource = std::function<dispatch::QueuePtr()>;
  using ClockSource = std::function<dispatch::ClockPtr()>;
  QueueScheduler(QueueSource q, ClockSource c) : queue_(std::move(q)), clock_(std::move(c)) {}

  // Each handle reads as disposed once its task has run, so that composites holding one per
  // delivered event can drop them.
  Disposable schedule(Task task) override {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto handle = Disposable::create([cancelled] { *cancelled = true; });
    queue_()->async([cancelled, handle, t = std::move(task)] {
      if (!*cancelled) t();
      handle.dispose();
    });
    return handle;
  }
  Disposable after(Duration delay, Task task) override {
    struct Pending {
      // Recursive: on the immediate scheduler a zero delay runs the task inside dispatch::after.
      std::recursive_mutex mu;
      dispatch::Timer timer;
    };
    auto p = std::make_shared<Pending>();
    auto handle = Disposable::create([p] {
      std::lock_guard lock(p->mu);
      p->timer.cancel();
    });
    std::lock_guard lock(p->mu);
    p->timer = dispatch::after(
        delay, queue_(),
        [handle, t = std::move(task)] {
          t();
          handle.dispose();
        },
        clock_());
    return handle;
  }
  Disposable every(Duration period, Task task) override {
    return timerDisposable(dispatch::repeating(period, queue_(), std::move(task), {}, clock_()));
  }
  TimePoint now() const override { return clock_()->now(); }

 private:
  QueueSource queue_;
  ClockSource clock_;
};

}  // namespace

SchedulerPtr Scheduler::mainThread() {
  static SchedulerPtr s = std::make_shared<QueueScheduler>([] { return dispatch::mainQueue(); },
                                                           [] { return dispatch::defaultClock(); });
  return s;
}

SchedulerPtr Scheduler::immediate() {
  static auto q = std::make_shared<InlineQueue>();
  static SchedulerPtr s = std::make_shared<QueueScheduler>([] { return dispatch::QueuePtr(q); },
                                                           [] { return dispatch::defaultClock(); });
  return s;
}

SchedulerPtr Scheduler::background() {
  static auto q = std::make_shared<dispatch::SerialQueue>("reactive.background");
  static SchedulerPtr s = std::make_shared<QueueScheduler>([] { return dispatch::QueuePtr(q); },
                                                           [] { return dispatch::defaultClock(); });
  return s;
}

SchedulerPtr Scheduler::onQueue(dispatch::QueuePtr queue, dispatch::ClockPtr clock) {
  return std::make_shared<QueueScheduler>(
      [queue] { return queue; }, [clock] { return clock ? clock : dispatch::defaultClock(); });
}

TestScheduler::TestScheduler()
    : clock_(std::make_shared<dispatch::VirtualClock>()),
      queue_(std::make_shared<dispatch::PumpedQueue>("test-scheduler")),
      inner_(onQueue(queue_, clock_)) {}

Disposable TestScheduler::schedule(Task task) { return inner_->schedule(std::move(task)); }
Disposable TestScheduler::after(Duration d, Task task) { return inner_->after(d, std::move(task)); }
Disposable TestScheduler::every(Duration p, Task task) { return inner_->every(p, std::move(task)); }
TimePoint TestScheduler::now() const { return clock_->now(); }

size_t TestScheduler::advance(Duration d) {
  // Step from deadline to deadline so work runs in time order, and work it schedules for
  // later within the span also runs.
  size_t ran = queue_->pump();
  const TimePoint end = clock_->now() + d;
  for (;;) {
    auto next = clock_->nextDeadline();
    if (!next || *next > end) break;
    clock_->advanceTo(*next);
    ran += queue_->pump();
  }
  clock_->advanceTo(end);
  ran += queue_->pump();
  return ran;
}

}  // namespace platform::reactive
