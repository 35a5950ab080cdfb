#pragma once
// Options of the tunnel engine: one process-wide set that every part of the engine consults.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Tovra/Base/TQAPIModel.h"

// Public resolver used when the application names none; tests always set their own.
inline constexpr const char* GVDefaultDnsServer = "8.8.8.8";

struct GVTunnelOptions : TQAPIModel {
  std::optional<std::string> dnsServer;
  std::optional<std::string> settingDnsServer;
  std::optional<std::string> groupIdentifier;
  std::optional<std::string> ipDataFile;
  std::optional<std::string> errorFile;
  std::optional<std::string> blackRouteFile;
  std::optional<std::string> whiteRouteFile;
  std::optional<std::vector<std::string>> httpsProxyMatchDomains;
  std::optional<std::string> httpsProxyServer;
  std::optional<int32_t> httpsProxyPort;
  std::optional<std::vector<std::string>> dnsRejectDomains;
  std::optional<bool> recordTrafficEnable;
  std::optional<bool> logReportEnable;
  std::optional<bool> logEnable;
  std::optional<bool> logRuleAdd;
  std::optional<bool> logInterceptPacket;
  std::optional<bool> logGameAdapterResp;
  std::optional<bool> logFlowGroupHeartbeat;
  std::optional<bool> logPerformance;
  std::optional<bool> ignoreHeartbeatKickout;
  std::optional<bool> globalProxy;
  std::optional<bool> EDNSEnable;
  std::optional<bool> observeInterfaceChange;
  std::optional<int64_t> MTU;

  bool operator==(const GVTunnelOptions&) const = default;

  // A new object with the engine's defaults.
  static GVTunnelOptions defaultOptions();

  // The process's options: created from the defaults on the first read when none was set.
  static std::shared_ptr<const GVTunnelOptions> currentOptions();
  static void setCurrentOptions(std::shared_ptr<const GVTunnelOptions> options);

  static constexpr auto fields() {
    using O = GVTunnelOptions;
    return std::make_tuple(
        tq::field("dnsServer", &O::dnsServer), tq::field("settingDnsServer", &O::settingDnsServer),
        tq::field("groupIdentifier", &O::groupIdentifier), tq::field("ipDataFile", &O::ipDataFile),
        tq::field("errorFile", &O::errorFile), tq::field("blackRouteFile", &O::blackRouteFile),
        tq::field("whiteRouteFile", &O::whiteRouteFile),
        tq::field("httpsProxyMatchDomains", &O::httpsProxyMatchDomains),
        tq::field("httpsProxyServer", &O::httpsProxyServer),
        tq::field("httpsProxyPort", &O::httpsProxyPort),
        tq::field("dnsRejectDomains", &O::dnsRejectDomains),
        tq::field("recordTrafficEnable", &O::recordTrafficEnable),
        tq::field("logReportEnable", &O::logReportEnable), tq::field("logEnable", &O::logEnable),
        tq::field("logRuleAdd", &O::logRuleAdd),
        tq::field("logInterceptPacket", &O::logInterceptPacket),
        tq::field("logGameAdapterResp", &O::logGameAdapterResp),
        tq::field("logFlowGroupHeartbeat", &O::logFlowGroupHeartbeat),
        tq::field("logPerformance", &O::logPerformance),
        tq::field("ignoreHeartbeatKickout", &O::ignoreHeartbeatKickout),
        tq::field("globalProxy", &O::globalProxy), tq::field("EDNSEnable", &O::EDNSEnable),
        tq::field("observeInterfaceChange", &O::observeInterfaceChange), tq::field("MTU", &O::MTU));
  }
};

// An unset flag reads as off.
inline bool GVFlag(const std::optional<bool>& flag) { return flag.value_or(false); }
