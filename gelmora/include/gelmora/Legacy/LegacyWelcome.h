#pragma once
// Start-up decisions of the older welcome window: the host list, the status text and what the
// start-up reply asks for.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace LegacyWelcome {

// Stored "domain_list" entries (texts, in order; none when not a list) then the two fallbacks
// (empty ones left out).
std::vector<std::string> hostList(const std::optional<nlohmann::json>& stored,
                                  const std::string& fallback1, const std::string& fallback2);
// "正在启动" or "自动登录" followed by pointCount + 1 dots.
std::string loadingText(bool initOk, int pointCount);

struct StartupReading {
  std::optional<nlohmann::json> domainList;  // non-empty list to store under "domain_list"
  std::optional<nlohmann::json> payList;     // non-empty list to store under "pay_list"
  bool outdated = false;
};
StartupReading readStartup(const nlohmann::json& reply);

// The data.token of a stored sign-in reply, none when absent or not text.
std::optional<std::string> tokenOf(const std::optional<nlohmann::json>& loginData);

}  // namespace LegacyWelcome
