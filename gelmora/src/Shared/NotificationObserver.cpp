#include "gelmora/Shared/NotificationObserver.h"

using platform::notifications::Notification;
using platform::notifications::NotificationCenter;

NotificationObserver::~NotificationObserver() {
  // Removal waits for a handler running on another thread; after it nothing calls into the
  // (already partly destroyed) object.
  NotificationCenter::defaultCenter().removeObserver(this);
}

void NotificationObserver::observeNotification(std::string_view name) {
  NotificationCenter::defaultCenter().addObserver(
      this, name, [this](const Notification& n) { handleNotification(n); });
}

void NotificationObserver::unobserveNotification(std::string_view name) {
  NotificationCenter::defaultCenter().removeObserver(this, name);
}

void NotificationObserver::unobserveAllNotifications() {
  NotificationCenter::defaultCenter().removeObserver(this);
}

void NotificationObserver::handleNotification(const Notification&) {}

bool NotificationObserver::postNotification(std::string_view name) {
  NotificationCenter::defaultCenter().post(name);
  return true;
}

bool NotificationObserver::postNotification(std::string_view name, std::any object) {
  NotificationCenter::defaultCenter().post(name, std::move(object));
  return true;
}
