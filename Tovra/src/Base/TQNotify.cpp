#include "TQNotify.h"

#include <platform/notifications/NotificationCenter.h>

namespace tq::detail {

namespace pn = platform::notifications;

void postNotification(const std::string& name) {
  pn::NotificationCenter::defaultCenter().post(name);
}

std::shared_ptr<void> observeNotification(const std::string& name, std::function<void()> handler) {
  auto token = std::make_shared<pn::Observation>(pn::NotificationCenter::defaultCenter().observe(
      name, [h = std::move(handler)](const pn::Notification&) { h(); }));
  return token;
}

}  // namespace tq::detail
