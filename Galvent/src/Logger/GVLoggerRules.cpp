// Rule lines from the rule kit's own rule records.
#include "Brevant/Brevant.h"
#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTunnelOptions.h"

namespace {
// Rendering is skipped entirely while rule lines are off.
bool ruleLinesOn() {
  return GVFlag(GVTunnelOptions::currentOptions()->logRuleAdd) && GVLogger::logger() != nullptr;
}
}  // namespace

void GVLogger::logAddDNSRule(const brevant::dns_rule& rule) {
  if (ruleLinesOn()) logAddDNSRule(brevant::dns_rule_string(rule));
}

void GVLogger::logAddWhiteRule(const brevant::traffic_rule& rule) {
  if (ruleLinesOn()) logAddWhiteRule(brevant::traffic_rule_string(rule));
}

void GVLogger::logAddBlackRule(const brevant::traffic_rule& rule) {
  if (ruleLinesOn()) logAddBlackRule(brevant::traffic_rule_string(rule));
}
