#include "platform/dispatch/Queue.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "platform/dispatch/PumpedQueue.h"

namespace platform::dispatch {

namespace {
thread_local Queue* tlsCurrent = nullptr;

std::mutex& mainMutex() {
  static std::mutex m;
  return m;
}
QueuePtr& mainSlot() {
  static QueuePtr q;
  return q;
}
}  // namespace

Queue::CurrentGuard::CurrentGuard(Queue* q) : previous_(tlsCurrent) { tlsCurrent = q; }
Queue::CurrentGuard::~CurrentGuard() { tlsCurrent = previous_; }

Queue* Queue::current() { return tlsCurrent; }

void Queue::sync(Task task) {
  if (isCurrent()) {
    task();
    return;
  }
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  async([&] {
    task();
    std::lock_guard lock(m);
    done = true;
    cv.notify_one();
  });
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return done; });
}

void installMainQueue(QueuePtr queue) {
  std::lock_guard lock(mainMutex());
  mainSlot() = std::move(queue);
}

QueuePtr exchangeMainQueue(QueuePtr queue) {
  std::lock_guard lock(mainMutex());
  std::swap(mainSlot(), queue);
  return queue;
}

QueuePtr mainQueue() {
  std::lock_guard lock(mainMutex());
  if (!mainSlot()) mainSlot() = std::make_shared<PumpedQueue>("main");
  return mainSlot();
}

void postToMain(Task task) { mainQueue()->async(std::move(task)); }

bool isMainThread() { return mainQueue()->isCurrent(); }

}  // namespace platform::dispatch
