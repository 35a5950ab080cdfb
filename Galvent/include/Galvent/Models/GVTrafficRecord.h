#pragma once
// One classified flow, as answered in the traffic figures.

#include <cstdint>
#include <optional>
#include <string>

#include "Tovra/Base/TQAPIModel.h"

inline constexpr const char* GVTrafficGroupWhite = "White";
inline constexpr const char* GVTrafficGroupBlack = "Black";
inline constexpr const char* GVTrafficGroupByPass = "ByPass";

struct GVTrafficRecord : TQAPIModel {
  std::optional<std::string> protocol;  // "TCP", "UDP", "DNS" or "ICMP"
  std::optional<std::string> destIP;
  std::optional<std::string> domain;
  std::optional<int64_t> port;
  std::optional<std::string> areaId;
  std::optional<std::string> group;
  std::optional<tq::Number> ruleId;

  bool operator==(const GVTrafficRecord&) const = default;
  static constexpr auto fields() {
    using R = GVTrafficRecord;
    return std::make_tuple(tq::field("protocol", &R::protocol), tq::field("destIP", &R::destIP),
                           tq::field("domain", &R::domain), tq::field("port", &R::port),
                           tq::field("areaId", &R::areaId), tq::field("group", &R::group),
                           tq::field("ruleId", &R::ruleId));
  }
};
