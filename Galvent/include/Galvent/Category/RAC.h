#pragma once
// Service calls as cold signals: nothing is sent before a subscription, each subscription sends
// the call once, and disposing cancels it.

#include <memory>
#include <nlohmann/json.hpp>

#include "Tovra/REST/TQAPI.h"
#include "platform/reactive/Signal.h"

namespace RAC {

// One value then completion on success: the call's response as JSON (the mapped model's
// dictionary or list, or the raw payload when the call keeps it unmapped); or one error, the
// call's lastError. Events arrive where the engine runs callbacks (the main queue). A later
// subscription replaces the callbacks of an earlier one, whose subscriber then hears nothing.
platform::reactive::Signal<nlohmann::json> rac_send(const TQAPIPtr& call);

}  // namespace RAC
