#include "Galvent/Tunnel/Base/Rule/GVPacketRuleManager.h"

#include <cstdlib>
#include <mutex>

#include "Brevant/Log.h"
#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Galvent/Tunnel/Ombrix/OmbrixPacketRuleManager.h"
#include "Galvent/Tunnel/Pexara/PexaraPacketRuleManager.h"

#if __has_include("JolvexAPI/JolvexSchemaModels.h")
#include "JolvexAPI/JolvexSchemaModels.h"
#define GV_HAVE_JOLVEX_MODELS 1
#endif
#if __has_include("PexaraAPI/PexaraSchemaModels.h")
#include "PexaraAPI/PexaraSchemaModels.h"
#define GV_HAVE_PEXARA_MODELS 1
#endif

namespace fs = std::filesystem;

namespace {

std::mutex gResourceMutex;
std::optional<fs::path> gResourceDir;

// Names that come from options must stay inside the folder they are looked up in.
bool plainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// An area or ISP id: a number or numeric text in 0..65535.
std::optional<uint16_t> idOf(const nlohmann::json& v) {
  int64_t n;
  if (v.is_number_integer()) {
    n = v.get<int64_t>();
  } else if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u > 65535) return std::nullopt;
    n = static_cast<int64_t>(u);
  } else if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    n = std::stoll(s);
  } else {
    return std::nullopt;
  }
  if (n < 0 || n > 65535) return std::nullopt;
  return static_cast<uint16_t>(n);
}

std::vector<uint16_t> idsOf(const std::vector<nlohmann::json>& list) {
  std::vector<uint16_t> ids;
  for (const auto& v : list) {
    if (ids.size() == brevant::kRuleIdListMax) break;
    if (auto id = idOf(v))
      ids.push_back(*id);
    else
      GVLogError("Skipped area/ISP id " + v.dump());
  }
  return ids;
}

}  // namespace

std::unique_ptr<GVPacketRuleManager> GVPacketRuleManager::managerWithSpeedInfo(
    [[maybe_unused]] const JVX_SPEED_START_INFO& info) {
#ifdef GV_HAVE_JOLVEX_MODELS
  return std::make_unique<OmbrixPacketRuleManager>(info);
#else
  return nullptr;
#endif
}

std::unique_ptr<GVPacketRuleManager> GVPacketRuleManager::managerWithSpeedInfo(
    [[maybe_unused]] const PXA_SPEED_START_INFO& info) {
#ifdef GV_HAVE_PEXARA_MODELS
  return std::make_unique<PexaraPacketRuleManager>(info);
#else
  return nullptr;
#endif
}

GVPacketRuleManager::GVPacketRuleManager() {
  // The rule kit reports skipped lines and bad rule texts; they belong in the engine's log.
  static std::once_flag routed;
  std::call_once(routed, [] {
    brevant::set_log_handler([](brevant::LogLevel level, std::string_view text) {
      if (level == brevant::LogLevel::Error)
        GVLogError(std::string(text));
      else
        GVLogInfo(std::string(text));
    });
  });
  loadAreaISPLib();
}

GVPacketRuleManager::~GVPacketRuleManager() { brevant::ip_range_list_free(ipdb_); }

void GVPacketRuleManager::setResourceDirectory(fs::path dir) {
  std::lock_guard lock(gResourceMutex);
  gResourceDir = std::move(dir);
}

fs::path GVPacketRuleManager::resourceDirectory() {
  std::lock_guard lock(gResourceMutex);
  if (gResourceDir) return *gResourceDir;
  if (const char* env = std::getenv("GALVENT_RESOURCE_DIR"); env && *env) return env;
  return {};
}

void GVPacketRuleManager::loadAreaISPLib() {
  auto options = GVTunnelOptions::currentOptions();
  std::string name = options->ipDataFile.value_or("");
  if (name.empty()) return;
  if (!plainFileName(name)) {
    GVLogError("IP data file name is not a plain file name: " + name);
    return;
  }
  fs::path path;
  std::error_code ec;
  std::string group = options->groupIdentifier.value_or("");
  fs::path root = GVLogger::containerRoot();
  if (plainFileName(group) && !root.empty()) {
    // The container is the user's: it is read with the user's file identity, so a link placed
    // there cannot make the daemon read what the user could not.
    GVLogger::withContainerAccess([&] {
      std::error_code inner;
      if (!fs::is_regular_file(root / group / name, inner)) return;
      GVLogInfo("There has a update IP data file!");
      path = root / group / name;
      ipdb_ = brevant::ip_database_new_from_file(path.string(), 1);
    });
  }
  if (path.empty()) {
    if (fs::path dir = resourceDirectory(); !dir.empty() && fs::is_regular_file(dir / name, ec)) {
      path = dir / name;
      ipdb_ = brevant::ip_database_new_from_file(path.string(), 1);
    }
  }
  if (path.empty()) return;
  if (!ipdb_) {
    GVLogError("Cannot read the IP data file " + path.string());
    return;
  }
  // Skipped lines were already counted in the kit's own line.
  GVLogInfo("Loaded " + std::to_string(ipdb_->size()) + " ip ranges for Area & ISP");
}

bool GVPacketRuleManager::sessionWithPacket(std::span<const uint8_t> packet,
                                            brevant::ip_session_info& session,
                                            bool outgoing) const {
  bool parsed = brevant::get_ip_session_info(
      &domains_, session, packet,
      outgoing ? brevant::kDirectionOutgoing : brevant::kDirectionIncoming);
  uint32_t value = brevant::find_value_in_range_list(ipdb_.get(), session.dst_ip);
  session.area_id = static_cast<uint16_t>(value & 0xFFFF);
  session.isp_id = static_cast<uint16_t>(value >> 16);
  return parsed;
}

bool GVPacketRuleManager::matchedBlack(const brevant::ip_session_info& session,
                                       brevant::traffic_rule* rule) const {
  return brevant::is_session_match_black_rule(rules_, session, rule);
}

bool GVPacketRuleManager::matchedWhite(const brevant::ip_session_info& session,
                                       brevant::traffic_rule* rule) const {
  return brevant::is_session_match_white_rule(rules_, session, rule);
}

bool GVPacketRuleManager::matchedDNS(const brevant::ip_session_info& session,
                                     brevant::dns_rule* rule) const {
  return brevant::is_domain_match_dns_rule(rules_, session.domain, rule);
}

std::string GVPacketRuleManager::normalizeDomain(std::string_view domain) {
  if (domain.starts_with("*.")) domain.remove_prefix(2);
  return std::string(domain);
}

std::optional<brevant::traffic_rule> GVPacketRuleManager::createTrafficRuleWithProcess(
    std::string_view process, std::string_view protocol, std::string_view domain,
    const std::vector<nlohmann::json>& areas, const std::vector<nlohmann::json>& ISPs,
    std::string_view port) {
  if (process != "*") return std::nullopt;
  brevant::traffic_rule rule = brevant::init_all_matched_traffic_rule();
  std::string proto = lowered(protocol);
  if (proto == "*")
    rule.protocol = brevant::kProtoAny;
  else if (proto == "tcp")
    rule.protocol = brevant::kProtoTCP;
  else if (proto == "udp")
    rule.protocol = brevant::kProtoUDP;
  else if (proto == "icmp")
    rule.protocol = brevant::kProtoICMP;
  if (!domain.empty() && !brevant::set_ip_mask_range_with_str(rule.range, domain)) {
    std::string d = normalizeDomain(domain);
    if (d.size() > brevant::kRuleDomainMax) d.resize(brevant::kRuleDomainMax);
    rule.domain = std::move(d);
  }
  rule.areas = idsOf(areas);
  rule.isps = idsOf(ISPs);
  brevant::set_port_range_with_str(rule, port);
  return rule;
}

std::optional<std::string> GVPacketRuleManager::dnsDomain(const nlohmann::json& domain) {
  if (!domain.is_string()) return std::nullopt;
  const std::string& text = domain.get_ref<const std::string&>();
  if (text.find_first_not_of(" \t\r\n\v\f") == std::string::npos) return std::nullopt;
  return normalizeDomain(text);
}

void GVPacketRuleManager::addDNSRule(brevant::dns_rule rule) {
  GVLogger::logAddDNSRule(brevant::dns_rule_string(rule));
  brevant::add_dns_rule(rules_, std::move(rule));
}

void GVPacketRuleManager::addBlackRule(brevant::traffic_rule rule) {
  GVLogger::logAddBlackRule(brevant::traffic_rule_string(rule));
  brevant::add_black_rule(rules_, std::move(rule));
}

void GVPacketRuleManager::addWhiteRule(brevant::traffic_rule rule) {
  GVLogger::logAddWhiteRule(brevant::traffic_rule_string(rule));
  brevant::add_white_rule(rules_, std::move(rule));
}
