#pragma once
// One-shot and repeating timers that run their task on a queue, timed by a Clock.
#include <memory>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"

namespace platform::dispatch {

// Handle of a timer; copies share it. Dropping the handle does not stop the timer: a repeating
// timer runs until cancel(), so its owner cancels it when it goes away.
class Timer {
 public:
  Timer() = default;
  // Stops the timer. Called on the timer's queue, no task of it runs afterwards; from another
  // thread, a run that already started may finish.
  void cancel();
  bool isCancelled() const;
  // False for a default-constructed handle.
  bool isValid() const { return state_ != nullptr; }

  struct State;
  explicit Timer(std::shared_ptr<State> s) : state_(std::move(s)) {}

 private:
  std::shared_ptr<State> state_;
};

struct RepeatOptions {
  bool fireImmediately = false;  // first run at once instead of after one interval
  Duration leeway{0};            // allowed lateness; the steady clock may coalesce within it
};

// Runs `task` once on `queue` after `delay`. A queue that is gone by then drops the task.
Timer after(Duration delay, QueuePtr queue, Task task, ClockPtr clock = nullptr);
// Runs `task` on `queue` every `interval` until cancelled. Deadlines stay on the grid
// start + k*interval, so a late run does not shift later ones.
Timer repeating(Duration interval, QueuePtr queue, Task task, RepeatOptions options = {},
                ClockPtr clock = nullptr);

}  // namespace platform::dispatch
