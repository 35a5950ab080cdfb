#pragma once
// The texts and bars of the traffic detail windows, from the stored "flow_detail" dictionary.
#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

struct FlowDetailKind {
  double total = 0;
  double used = 0;
  // Integer progress bar: amounts x100, clamped; maximum at least 1; used above total: full.
  int barMaximum = 1;
  int barValue = 0;
  std::string remaining;  // "剩余 %.2f"
  std::string usedText;   // "共%.2f%@ 已用%.2f%@"
};

struct FlowDetail {
  enum Index { Last = 0, This = 1, Extra = 2 };
  std::array<FlowDetailKind, 3> kinds;
  std::string unit;
  std::string message;

  // None (and the log line "无法获取流量详情" through `logLine`) when nothing is stored; none
  // without a line when the stored value is no object.
  static std::optional<FlowDetail> fromStored(const std::optional<nlohmann::json>& stored,
                                              std::string* logLine = nullptr);
  static FlowDetailKind kind(double total, double used, const std::string& unit);
};
