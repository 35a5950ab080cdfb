#pragma once
// What the screens use to switch acceleration on and off, whichever mode is built in. Status in
// the platform's VPN numbering: 0 not yet known, 1 disconnected, 2 connecting, 3 connected,
// 5 disconnecting. Every change is announced on the main queue with
// NEVPNStatusDidChangeNotification (platform/netext/VpnStatus.h); read status() on receipt.
#include <functional>

#include "platform/reactive/Signal.h"

class AlertSheetPresenter;

class AccelerationController {
 public:
  virtual ~AccelerationController() = default;
  // Cold: each subscription starts once; completes when acceleration runs, else errs.
  virtual platform::reactive::Signal<bool> start() = 0;
  virtual void stop() = 0;
  // Stops, then runs `done` (may be empty).
  virtual void sendStopCMD(std::function<void()> done) = 0;
  virtual long long status() const = 0;
  // Where the alerts of failed starts go: the window that is key when `start` is called. The
  // controller holds only a weak handle: setting another presenter or none drops alerts still
  // due to the old one. Modes without alerts of their own ignore it.
  virtual void setAlertPresenter(AlertSheetPresenter* presenter) { (void)presenter; }
  // Brings the status out of 0 (tunnel mode reads the saved configuration); once, at set-up.
  virtual void prepare() {}
};
