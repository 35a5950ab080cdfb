#pragma once
// The status notification of tunnel connections. It is posted on the main queue with the
// TunnelConnection (std::shared_ptr) as its object, at every change of the connection's status.

#include "platform/netext/ControlMessage.h"
#include "platform/notifications/NotificationCenter.h"

namespace platform::netext {

PLATFORM_NOTIFICATION_NAME(NEVPNStatusDidChangeNotification);

// Error domain of the manager side (preferences, launch, daemon connection).
inline constexpr const char* kTunnelManagerErrorDomain = "platform.netext.manager";

}  // namespace platform::netext
