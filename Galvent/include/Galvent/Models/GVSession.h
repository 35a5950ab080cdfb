#pragma once
// The signed-in session handed to the tunnel engine and persisted by the application. Both
// services' sessions share these seven properties; userInfo and speedInfo take each service's
// own models.

#include <optional>
#include <string>
#include <tuple>

#include "Tovra/Base/TQAPIModel.h"

template <class UserInfo, class SpeedInfo>
struct GVSession : TQAPIModel {
  using UserInfoType = UserInfo;
  using SpeedInfoType = SpeedInfo;

  std::optional<std::string> baseDomain;
  std::optional<std::string> mac;
  std::optional<bool> fromChina;
  std::optional<std::string> clientIP;
  std::optional<std::string> appVersion;
  std::optional<UserInfo> userInfo;
  std::optional<SpeedInfo> speedInfo;

  bool operator==(const GVSession&) const = default;

  static constexpr auto sessionFields() {
    using S = GVSession;
    return std::make_tuple(
        tq::field("baseDomain", &S::baseDomain), tq::field("mac", &S::mac),
        tq::field("fromChina", &S::fromChina), tq::field("clientIP", &S::clientIP),
        tq::field("appVersion", &S::appVersion), tq::field("userInfo", &S::userInfo),
        tq::field("speedInfo", &S::speedInfo));
  }
};

// A new session of type S whose userInfo is set; no user info gives no session.
template <class S>
std::optional<S> GVSessionInitWithUserInfo(const std::optional<typename S::UserInfoType>& info) {
  if (!info) return std::nullopt;
  S session;
  session.userInfo = *info;
  return session;
}
