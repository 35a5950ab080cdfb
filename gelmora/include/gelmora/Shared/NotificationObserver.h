#pragma once
// Observing and posting notifications of the default centre by name. An observing class derives
// from NotificationObserver and overrides handleNotification; its destructor ends every
// observation, so a destroyed observer is never called.
#include <any>
#include <string_view>

#include "platform/notifications/NotificationCenter.h"

class NotificationObserver {
 public:
  NotificationObserver() = default;
  NotificationObserver(const NotificationObserver&) = delete;
  NotificationObserver& operator=(const NotificationObserver&) = delete;
  virtual ~NotificationObserver();

  // Observes `name` from any sender; observing a name twice still calls once per post.
  void observeNotification(std::string_view name);
  void unobserveNotification(std::string_view name);
  void unobserveAllNotifications();
  // Called on the posting thread. Does nothing unless overridden.
  virtual void handleNotification(const platform::notifications::Notification& notification);

  // Post synchronously on the default centre; always true.
  static bool postNotification(std::string_view name);
  static bool postNotification(std::string_view name, std::any object);
};
