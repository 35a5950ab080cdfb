#pragma once
// Notifications of one name as a signal; it never completes, so take it until a lifetime ends.
#include <string>

#include "platform/notifications/NotificationCenter.h"
#include "platform/reactive/Signal.h"

namespace platform::reactive {

inline Signal<notifications::Notification> notificationSignal(
    std::string name, notifications::NotificationCenter& center =
                          notifications::NotificationCenter::defaultCenter()) {
  using notifications::Notification;
  return Signal<Notification>::create([name, &center](const SubscriberPtr<Notification>& s) {
    auto token = std::make_shared<notifications::Observation>(
        center.observe(name, [s](const Notification& n) { s->sendNext(n); }));
    return Disposable::create([token] { token->reset(); });
  });
}

}  // namespace platform::reactive
