#pragma once
// The older start and stop of filter-mode acceleration: connect the filter's control, fetch the
// rules, push them. No reload and no probing of its own; progress goes to the older parameters.
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/reactive/Error.h"

class SpeedEngines {
 public:
  // Each step, replaceable so the sequence can run against stand-ins.
  struct Steps {
    std::function<void(int percent)> setProgressBar;
    std::function<void(std::string_view line)> systemLog;
    std::function<bool()> openConnection;
    std::function<void()> closeConnection;
    std::function<platform::reactive::Error()> lastConnectionError;
    // The rule list, or none with *error set.
    std::function<std::optional<nlohmann::json>(platform::reactive::Error* error)> getRules;
    std::function<void(const nlohmann::json& reply)> parseRules;
    std::function<bool()> pushRules;
  };
  static Steps defaultSteps();
  static void setSteps(Steps steps);

  // The rule-list reply, or none with *error set (when given).
  static std::optional<nlohmann::json> start(platform::reactive::Error* error);
  static void stop();
};
