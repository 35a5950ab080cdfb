#pragma once
// A serial queue: its own thread running its tasks in order.
#include "platform/dispatch/Queue.h"

namespace platform::dispatch {

class SerialQueue : public Queue {
 public:
  explicit SerialQueue(std::string label);
  // Runs the tasks already posted, then stops the thread.
  ~SerialQueue() override;
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Tasks posted after shutdown are dropped.
  void async(Task task) override;
  // Runs inline when already on this queue; does nothing after shutdown.
  void sync(Task task) override;
  bool isCurrent() const override;
  std::string label() const override { return label_; }

  // Runs the tasks already posted, then stops the thread; idempotent. From a task of this queue
  // it stops accepting tasks and lets the thread end on its own.
  void shutdown();

 private:
  // Shared with the thread, which may outlive this object when the last owner drops the queue
  // from one of its own tasks.
  struct Core;
  std::string label_;
  std::shared_ptr<Core> core_;
};

}  // namespace platform::dispatch
