#pragma once
// What the screens use to switch acceleration on and off, whichever mode is built in. Status in
// the platform's VPN numbering: 1 disconnected, 2 connecting, 3 connected, 5 disconnecting.
#include <functional>

#include "platform/reactive/Signal.h"

class AccelerationController {
 public:
  virtual ~AccelerationController() = default;
  // Cold: each subscription starts once; completes when acceleration runs, else errs.
  virtual platform::reactive::Signal<bool> start() = 0;
  virtual void stop() = 0;
  // Stops, then runs `done` (may be empty).
  virtual void sendStopCMD(std::function<void()> done) = 0;
  virtual long long status() const = 0;
};
