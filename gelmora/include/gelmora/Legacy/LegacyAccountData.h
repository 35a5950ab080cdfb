#pragma once
// The account panel's values from an older reply's "data" (sign-in and heartbeat replies): each
// only when its key is present with a usable value. Numbers become decimal text.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

struct LegacyAccountData {
  std::optional<std::string> userName;  // "name(mixed uid)", only with both keys
  std::optional<std::string> bandwidth;
  std::optional<std::string> expireDate;
  std::optional<std::string> packageName;
  std::optional<std::string> restTraffic;
  std::optional<std::string> route;
  std::optional<int> status;  // "expired_and_pause_status"
  std::optional<nlohmann::json> trafficInfo;

  // None when the reply has no "data" object.
  static std::optional<LegacyAccountData> fromReply(const nlohmann::json& reply);

  // Visibility of the three notices (low speed, add time, add traffic) for a status; none: keep.
  struct Notices {
    bool lowSpeed = false;
    bool addTime = false;
    bool addFlow = false;
  };
  static std::optional<Notices> noticesFor(int status);
};
