#pragma once
// The one serial queue on which the tunnel process does its control work.

#include <functional>
#include <memory>

#include "platform/dispatch/SerialQueue.h"

class GVQueueFactory {
 public:
  GVQueueFactory() = delete;

  static constexpr const char* queueKey = "com.tessaryn.q5.processqueue";

  // Created on the first call, once even when two threads ask at the same moment.
  static std::shared_ptr<platform::dispatch::SerialQueue> getQueue();
  // True when the caller runs on the process queue.
  static bool onQueue();
  // Runs the work inline when already on the process queue, otherwise on it, waiting.
  static void excuteOnQueueSynchronizedly(const std::function<void()>& work);
};
