#pragma once
// Posting to and observing the default notification centre, for the configuration and engines.
#include <functional>
#include <memory>
#include <string>

namespace tq::detail {

void postNotification(const std::string& name);

// Observes name until the returned token is released.
std::shared_ptr<void> observeNotification(const std::string& name, std::function<void()> handler);

}  // namespace tq::detail
