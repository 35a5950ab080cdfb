#pragma once
// The process-wide store of the filter mode: values taken from the login reply, the settings of
// the older service layer, and the lists built from the service's rule list (white, black and DNS
// rules, stream limit, entrances, exits, paths). Class operations only, behind one mutex.
//
// How a start uses it:
//
//   TQError error;
//   std::optional<nlohmann::json> reply = TsWebService::getRules(&error);  // whole answer
//   bool library = IpPacketHelper::updateIpPacket();                       // reloads the table
//   std::optional<std::string> failure = TsParams::updateWithRulelistReturnObject(*reply);
//   // failure: none on success, else the text to show ("加速规则获取失败", "加速规则为空",
//   // "无可用入口服务器", "入口测试失败，无可用入口服务器").
//   KextHelper::setHooks(TsParams::kextHooks());            // path answers, limit, totals
//   TsParamsKext::setRulesToKext(TsParams::kextRuleSet());  // the lists of the last parse
//
// updateWithRulelistReturnObject blocks the calling thread: up to Timing::portProbe per entrance
// port tried, then Timing::pathWait for the path probes; the path report leaves on a thread of
// its own.
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "gelmora/Service/Params/AreaispItem.h"
#include "gelmora/Service/Params/TsParamsKext.h"
#include "gelmora/Service/Speed/EntranceServer.h"
#include "gelmora/Service/Speed/ExitServer.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Speed/TsPathService.h"
#include "tamsel/kctl_abi.h"

class TsParams {
 public:
  // The older service host: the brand's setting "LegacyServiceHost" when it has one.
  static std::string legacyServiceHost();

  // Takes "username", "expire_date", "uid" and "package_id" from the reply's "data" object;
  // fields that are missing or of an unusable kind leave their value as it was.
  static void updateWithLoginReturnObject(const nlohmann::json& reply);

  static std::int32_t getUid();
  static std::string getNickname();
  static std::string getExpiredate();
  // "package_id<id>", none before a login reply named a package.
  static std::optional<std::string> getPacketId();
  // The flow id as text ("0" until a rule list names one).
  static std::string getFlowId();
  static void setFlowId(const nlohmann::json& flowId);

  static std::string getUseddomain();
  static void setUseddomain(std::string domain);
  static std::vector<std::string> getDomainList();
  static void setDomainList(std::vector<std::string> list);
  static std::string getDirectoryOfResource();
  static void setDirectoryOfResource(std::string path);
  static std::string getAreaispPath();
  static void setAreaispPath(std::string path);
  static std::string getLogoPath();
  static void setLogoPath(std::string path);
  static std::int32_t getProgressBar();
  static void setProgressBar(std::int32_t percent);

  // The area and ISP table: replaced by the file's items (empty when it cannot be read).
  static void updateAreaispListWithFile(const std::string& path);
  // Ranges of the items with both ids equal, in table order.
  static std::vector<std::string> getIPListFromAreaisp(std::int32_t area, std::int32_t isp);
  static std::vector<AreaispItem> getAreaispList();
  // Takes "file" and "sha1" (texts) from the reply's "data".
  static void updateWithAreaispReturnObject(const nlohmann::json& reply);
  static std::optional<std::string> getAreaispDownloadAddress();
  static std::optional<std::string> getAreaispSha1();

  // --- Rule list ---

  // Parses the older service's rule-list answer ({"code", "info", "data"}, as getRules returns
  // it): replaces every list, probes the entrance ports (entrances with no answering port are
  // dropped) and the entrance-exit paths, starts the path report and saves the last entrances
  // and exits under getPacketId(). None on success, else the failure text to show. A list or
  // object of the wrong JSON type counts as missing.
  static std::optional<std::string> updateWithRulelistReturnObject(const nlohmann::json& reply);

  static std::vector<tamsel::abi::white_rule_config> getWhiteArray();
  static std::vector<std::string> getBlackArray();
  static std::vector<tamsel::abi::dns_rule_config> getDnsArray();
  static bool dnsRuleIsEmpty();
  // Entrances whose port probe succeeded, in reply order.
  static std::vector<EntranceServer> getEntranceServerArray();
  // Exits of all flow groups, DNS group first; duplicates kept.
  static std::vector<ExitServer> getExitServerArray();
  // The paths of the last parse, measured and sorted; an empty service while a parse runs or
  // when it ended before the paths. Read-only, safe from any thread.
  static TsPathServiceSnapshot getPathService();
  // (up << 16) | down, each half clamped to 0..65535.
  static std::uint32_t getStreamLimit();

  // Running byte totals of the filter's packet reports, each under its own lock.
  static std::int64_t getUpstreamlimit();
  static void setUpstreamlimit(std::int64_t bytes);
  static std::int64_t getDownstreamlimit();
  static void setDownstreamlimit(std::int64_t bytes);

  // The lists of the last parse as the rule push sends them.
  static KextRuleSet kextRuleSet();
  // The control reader's hooks: best path per offset, stream limit, traffic totals.
  static KextHelper::Hooks kextHooks();

  // Rule builders; each appends to its list of the store. `rules`/`blacklist`/`dnsRule` are the
  // reply's lists of groups; the list arguments are JSON lists as the service sent them.
  static void fetchWhiteRules(const nlohmann::json& rules);
  static void fetchWhiteRulesWithAreaisp(const std::string& process, const std::string& port,
                                         const std::string& protocol,
                                         const nlohmann::json& dictOfArea,
                                         const nlohmann::json& dictOfIsp, std::int32_t folwGroupID,
                                         std::int32_t level);
  static void fetchWhiteRulesWithDomain(const std::string& process, const std::string& port,
                                        const std::string& protocol,
                                        const nlohmann::json& dictOfDomain,
                                        std::int32_t folwGroupID, std::int32_t level);
  static void AddWhiteRulesItem(const std::string& process, const std::string& port,
                                const std::string& protocol, const std::string& domainOrIp,
                                std::int32_t folwGroupID, std::int32_t level);
  static void fetchBkackRules(const nlohmann::json& blacklist);
  static void fetchBlackRulesWithAreaisp(const std::string& process, const std::string& port,
                                         const std::string& protocol,
                                         const nlohmann::json& dictOfArea,
                                         const nlohmann::json& dictOfIsp);
  static void fetchBlackRulesWithDomain(const std::string& process, const std::string& port,
                                        const std::string& protocol,
                                        const nlohmann::json& dictOfDomain);
  static void AddBlackRulesItem(const std::string& process, const std::string& port,
                                const std::string& protocol, const std::string& domainOrIp);
  static void fetchDnsRules(const nlohmann::json& dnsRule);

  // The probes the parse runs. Tests and the fuzz target replace them so that a parse sends no
  // datagram; an empty member restores the real one.
  struct Probes {
    // Runs the entrance's port probe; the entrance is kept when its delay ends below 3000.
    std::function<void(EntranceServer&)> selectPort;
    // Adds every (entrance, exit) pair in this order, measures the paths and starts the
    // report; answers the path service to publish (none is allowed).
    std::function<TsPathServiceSnapshot(const std::vector<EntranceServer>&,
                                        const std::vector<ExitServer>&)>
        measurePaths;
  };
  static void setProbes(Probes probes);

  // Back to the initial values (tests).
  static void resetLoginValues();
  // Empties the rule lists, the path service and the byte totals (tests).
  static void resetRuleLists();
};
