#pragma once
// Rules of one packet proxy: the service's DNS, black and white rules as rule-kit records,
// the area/ISP database, and the learned domains and DNS redirects the proxy's packets need.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Brevant/Brevant.h"

struct JVX_SPEED_START_INFO;
struct PXA_SPEED_START_INFO;

class GVPacketRuleManager {
 public:
  // An Ombrix manager for line-service start information, a Pexara manager for game-service
  // start information, nothing for anything else.
  static std::unique_ptr<GVPacketRuleManager> managerWithSpeedInfo(
      const JVX_SPEED_START_INFO& info);
  static std::unique_ptr<GVPacketRuleManager> managerWithSpeedInfo(
      const PXA_SPEED_START_INFO& info);
  template <class Other>
  static std::unique_ptr<GVPacketRuleManager> managerWithSpeedInfo(const Other&) {
    return nullptr;
  }

  // Loads the area/ISP database named by the current tunnel options.
  GVPacketRuleManager();
  virtual ~GVPacketRuleManager();
  GVPacketRuleManager(const GVPacketRuleManager&) = delete;
  GVPacketRuleManager& operator=(const GVPacketRuleManager&) = delete;

  // Fills session from the packet, with the destination's area and ISP ids. False for bytes
  // that are not a sound IPv4 packet (the record then matches no rule).
  bool sessionWithPacket(std::span<const uint8_t> packet, brevant::ip_session_info& session,
                         bool outgoing) const;
  bool matchedBlack(const brevant::ip_session_info& session, brevant::traffic_rule* rule) const;
  bool matchedWhite(const brevant::ip_session_info& session, brevant::traffic_rule* rule) const;
  bool matchedDNS(const brevant::ip_session_info& session, brevant::dns_rule* rule) const;

  // One traffic rule, or nothing when process is not "*". areas and ISPs are the service's
  // lists (numbers or numeric texts); the first 64 usable ids of each are kept.
  static std::optional<brevant::traffic_rule> createTrafficRuleWithProcess(
      std::string_view process, std::string_view protocol, std::string_view domain,
      const std::vector<nlohmann::json>& areas, const std::vector<nlohmann::json>& ISPs,
      std::string_view port);
  static std::string normalizeDomain(std::string_view domain);

  // Where the provider's own resources live (the database's fallback). Default: the folder
  // named by GALVENT_RESOURCE_DIR, else none.
  static void setResourceDirectory(std::filesystem::path dir);
  static std::filesystem::path resourceDirectory();

  const brevant::RuleSet& rules() const { return rules_; }
  const brevant::IpDatabase* ipdb() const { return ipdb_.get(); }
  brevant::DomainTable& domainTable() { return domains_; }
  brevant::DnsRedirectTable& dnsRedirects() { return redirects_; }

 protected:
  void loadAreaISPLib();
  // Add and log one rule.
  void addDNSRule(brevant::dns_rule rule);
  void addBlackRule(brevant::traffic_rule rule);
  void addWhiteRule(brevant::traffic_rule rule);
  // A DNS domain of the service, or nothing when it is blank.
  static std::optional<std::string> dnsDomain(const nlohmann::json& domain);

  brevant::IpDatabaseHandle ipdb_;
  // Each manager has its own lists, so a second proxy in one process never sees the rules
  // of the first.
  brevant::RuleSet rules_;
  brevant::DomainTable domains_;
  brevant::DnsRedirectTable redirects_;
};
