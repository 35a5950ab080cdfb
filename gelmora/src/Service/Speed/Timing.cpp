#include "gelmora/Service/Speed/Timing.h"

#include <mutex>

namespace {
std::mutex& timingMutex() {
  static std::mutex m;
  return m;
}
Timing& installed() {
  static Timing t;
  return t;
}
}  // namespace

Timing Timing::current() {
  std::lock_guard lock(timingMutex());
  return installed();
}

void Timing::set(const Timing& timing) {
  std::lock_guard lock(timingMutex());
  installed() = timing;
}
