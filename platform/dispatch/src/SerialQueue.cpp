#include "platform/dispatch/SerialQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform::dispatch {

struct SerialQueue::Core {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Task> tasks;
  bool stopping = false;
  // Cleared when the queue object goes away before its thread ends.
  Queue* owner = nullptr;
  std::thread thread;
  std::thread::id threadId;
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), core_(std::make_shared<Core>()) {
  core_->owner = this;
  std::lock_guard lock(core_->mu);
  core_->thread = std::thread([core = core_] {
    std::unique_lock lock(core->mu);
    for (;;) {
      core->cv.wait(lock, [&] { return core->stopping || !core->tasks.empty(); });
      if (core->tasks.empty()) return;  // stopping and drained
      Task task = std::move(core->tasks.front());
      core->tasks.pop_front();
      Queue* owner = core->owner;
      lock.unlock();
      {
        CurrentGuard guard(owner);
        if (task) task();
        task = nullptr;  // captured state is released on this thread, before the lock
      }
      lock.lock();
    }
  });
  core_->threadId = core_->thread.get_id();
}

SerialQueue::~SerialQueue() {
  shutdown();
  std::lock_guard lock(core_->mu);
  core_->owner = nullptr;
}

void SerialQueue::async(Task task) {
  {
    std::lock_guard lock(core_->mu);
    if (core_->stopping) return;
    core_->tasks.push_back(std::move(task));
  }
  core_->cv.notify_one();
}

void SerialQueue::sync(Task task) {
  if (isCurrent()) {
    task();
    return;
  }
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  {
    std::lock_guard lock(core_->mu);
    if (core_->stopping) return;
    core_->tasks.push_back([&] {
      task();
      std::lock_guard doneLock(m);
      done = true;
      cv.notify_one();
    });
  }
  core_->cv.notify_one();
  // A queue shutting down still drains what it accepted, so this wait ends.
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == core_->threadId; }

void SerialQueue::shutdown() {
  std::thread thread;
  {
    std::lock_guard lock(core_->mu);
    core_->stopping = true;
    thread = std::move(core_->thread);
  }
  core_->cv.notify_one();
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    // Shut down from one of its own tasks: the thread finishes the queue and ends by itself.
    thread.detach();
  } else {
    thread.join();
  }
}

}  // namespace platform::dispatch
