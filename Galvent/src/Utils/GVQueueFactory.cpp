#include "Galvent/Utils/GVQueueFactory.h"

#include <mutex>

std::shared_ptr<platform::dispatch::SerialQueue> GVQueueFactory::getQueue() {
  // Never destroyed: tasks may still run on it while the process exits.
  static auto* queue = new std::shared_ptr<platform::dispatch::SerialQueue>(
      std::make_shared<platform::dispatch::SerialQueue>(queueKey));
  return *queue;
}

bool GVQueueFactory::onQueue() { return getQueue()->isCurrent(); }

void GVQueueFactory::excuteOnQueueSynchronizedly(const std::function<void()>& work) {
  if (!work) return;
  auto queue = getQueue();
  if (queue->isCurrent()) {
    work();
    return;
  }
  queue->sync(work);
}
