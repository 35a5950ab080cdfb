#pragma once
// A queue runs tasks one after another in the order they were posted. The main queue is supplied
// by the host (Qt event loop, asio io_context, or a pumped queue in tests).
#include <functional>
#include <memory>
#include <string>

namespace platform::dispatch {

using Task = std::function<void()>;

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  virtual ~Queue() = default;

  // Runs `task` later on this queue, after every task posted before it. Safe from any thread.
  virtual void async(Task task) = 0;
  // Runs `task` on this queue and waits for it; runs it inline when already on this queue.
  virtual void sync(Task task);
  // True while the calling thread is the one this queue runs its tasks on.
  virtual bool isCurrent() const = 0;
  // A name for logs.
  virtual std::string label() const = 0;

  // The queue whose task is running on this thread, or nullptr.
  static Queue* current();

 protected:
  // Marks the calling thread as running this queue's tasks for the scope of the guard.
  class CurrentGuard {
   public:
    explicit CurrentGuard(Queue* q);
    ~CurrentGuard();
    CurrentGuard(const CurrentGuard&) = delete;
    CurrentGuard& operator=(const CurrentGuard&) = delete;

   private:
    Queue* previous_;
  };
};

using QueuePtr = std::shared_ptr<Queue>;

// Installs the host's main queue (replacing any earlier one); nullptr uninstalls.
void installMainQueue(QueuePtr queue);
// Installs `queue` and returns the one installed before (nullptr when none was).
QueuePtr exchangeMainQueue(QueuePtr queue);
// The installed main queue. When the host installed none, a PumpedQueue bound to the first
// caller's thread is created and installed, so plain tests can pump it.
QueuePtr mainQueue();
// Posts `task` to the main queue from any thread.
void postToMain(Task task);
// True on the main queue's thread.
bool isMainThread();

}  // namespace platform::dispatch
