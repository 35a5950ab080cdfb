#pragma once
// The push of the rule store's lists into the traffic filter, then the switches that turn its
// interception on. Each option is one call on the control; a refused rule is logged and the push
// goes on.
#include <cstdint>
#include <string>
#include <vector>

#include "gelmora/Service/Speed/KextHelper.h"
#include "tamsel/kctl_abi.h"

struct KextRuleSet {
  std::string flowId = "0";  // its integer value is sent
  std::vector<tamsel::abi::dns_rule_config> dns;
  std::vector<tamsel::abi::white_rule_config> white;
  std::vector<std::string> black;
  std::string clientIp = "127.0.0.1";  // dotted; a text that does not parse sends 0
  std::string ednsServer;              // dotted; empty takes defaultEdnsServer()
};

namespace TsParamsKext {

inline constexpr std::size_t kMaxBlackRules = 19999;

// The public resolver handed to the filter when the brand names none.
std::string defaultEdnsServer();

// False when the filter cannot be running on these rules: the flow id or the final switch was
// refused, or the control is gone (EPIPE, ECONNRESET, EBADF, ENOTCONN on any option).
bool setRulesToKext(const KextRuleSet& rules, const KextHelper::OptionSink& sink);
// Over KextHelper's open connection.
bool setRulesToKext(const KextRuleSet& rules);

}  // namespace TsParamsKext
