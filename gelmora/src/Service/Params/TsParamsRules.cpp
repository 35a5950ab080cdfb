// The rule lists of the rule store: the parse of the service's rule-list answer into white, black
// and DNS records, the stream limit, the probed entrances, the exits and the measured paths.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"

namespace abi = tamsel::abi;
using json = nlohmann::json;

namespace {

// A hostile reply can multiply its lists (processes x ports x protocols x ranges) into billions
// of rules; past this many of one kind the builder stops, as the filter could not take them
// anyway.
constexpr std::size_t kMaxRulesOfOneKind = 1u << 16;

struct RuleLists {
  std::vector<abi::white_rule_config> white;
  std::vector<std::string> black;
  std::vector<abi::dns_rule_config> dns;
  bool dnsIsEmpty = true;
  std::vector<EntranceServer> entrances;
  std::vector<ExitServer> exits;
  std::uint32_t streamLimit = 0;
};

struct RuleState {
  std::mutex mu;
  RuleLists lists;
  TsPathServiceSnapshot pathService = std::make_shared<const TsPathService>();
  TsParams::Probes probes;
};

RuleState& state() {
  static RuleState s;
  return s;
}

struct Total {
  std::mutex mu;
  std::int64_t bytes = 0;
};
Total& upstream() {
  static Total t;
  return t;
}
Total& downstream() {
  static Total t;
  return t;
}

// --- Lenient readers of the reply ---

// A list member of an object; a member of another JSON type counts as missing.
const json* listOf(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  if (it == object.end() || !it->is_array()) return nullptr;
  return &*it;
}

const json* objectOf(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  if (it == object.end() || !it->is_object()) return nullptr;
  return &*it;
}

const json* memberOf(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// Text as the service sent it, whole numbers in decimal.
std::optional<std::string> textOf(const json* v) {
  if (!v) return std::nullopt;
  if (v->is_string()) return v->get<std::string>();
  if (v->is_number_integer() || v->is_number_unsigned()) return v->dump();
  return std::nullopt;
}

// A number or numeric text; fractions are cut toward zero, values beyond 64 bits are refused.
std::optional<std::int64_t> numberOf(const json* v) {
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) {
    auto u = v->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<std::int64_t>();
  if (v->is_number_float()) {
    double d = v->get<double>();
    // 2^63 is exactly representable; anything at or beyond it would overflow the conversion.
    if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
      return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  if (v->is_string()) {
    const auto& s = v->get_ref<const std::string&>();
    std::int64_t n = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return n;
  }
  return std::nullopt;
}

std::optional<std::int32_t> int32Of(const json* v) {
  auto n = numberOf(v);
  if (!n || *n < std::numeric_limits<std::int32_t>::min() ||
      *n > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(*n);
}

// The texts of a list, in order; members of another kind are skipped and logged.
std::vector<std::string> textsOf(const json& list, const char* what) {
  std::vector<std::string> out;
  for (const auto& v : list) {
    if (auto t = textOf(&v)) {
      out.push_back(std::move(*t));
    } else {
      LOG::console(std::string("规则字段类型错误，跳过 ") + what + "=" + v.dump());
    }
  }
  return out;
}

std::vector<std::int32_t> idsOf(const json& list, const char* what) {
  std::vector<std::int32_t> out;
  for (const auto& v : list) {
    if (auto n = int32Of(&v)) {
      out.push_back(*n);
    } else {
      LOG::console(std::string("规则字段类型错误，跳过 ") + what + "=" + v.dump());
    }
  }
  return out;
}

std::string ruleText(const std::string& process, const std::string& destination,
                     const std::string& port, const std::string& protocol) {
  return process + "|" + destination + "|" + port + "|" + protocol;
}

// Copies at most cap bytes and leaves the field zero-terminated (it was zero-filled).
template <std::size_t N>
void copyField(char (&field)[N], const std::string& text, std::size_t cap) {
  std::memcpy(field, text.data(), std::min({text.size(), cap, N - 1}));
}

// --- Builders over one set of lists ---

bool addWhite(RuleLists& l, const std::string& process, const std::string& port,
              const std::string& protocol, const std::string& destination, std::int32_t group,
              std::int32_t level) {
  if (l.white.size() >= kMaxRulesOfOneKind) return false;
  abi::white_rule_config r;
  std::memset(&r, 0, sizeof r);
  r.offset = group;
  r.level = level;
  copyField(r.rule, ruleText(process, destination, port, protocol), 255);
  l.white.push_back(r);
  return true;
}

bool addBlack(RuleLists& l, const std::string& process, const std::string& port,
              const std::string& protocol, const std::string& destination) {
  if (l.black.size() >= kMaxRulesOfOneKind) return false;
  l.black.push_back(ruleText(process, destination, port, protocol));
  return true;
}

// Adds one rule of the destination; false when the kind is full.
using AddOne = std::function<bool(const std::string& destination)>;

bool byAreaisp(const json& areas, const json& isps, const AddOne& add) {
  for (std::int32_t a : idsOf(areas, "destination_area_id")) {
    for (std::int32_t i : idsOf(isps, "destination_isp_id")) {
      for (const auto& range : TsParams::getIPListFromAreaisp(a, i)) {
        if (!add(range)) return false;
      }
    }
  }
  return true;
}

bool byDomain(const json& domains, const AddOne& add) {
  for (const auto& d : textsOf(domains, "destination_ip_domain")) {
    if (!add(d)) return false;
  }
  return true;
}

// One group's lists, read and checked the same way for white and black rules.
struct GroupLists {
  const json* process = nullptr;
  const json* port = nullptr;
  const json* protocol = nullptr;
  const json* areas = nullptr;
  const json* isps = nullptr;
  const json* domains = nullptr;

  explicit GroupLists(const json& group)
      : process(listOf(group, "process")),
        port(listOf(group, "port")),
        protocol(listOf(group, "protocol")),
        areas(listOf(group, "destination_area_id")),
        isps(listOf(group, "destination_isp_id")),
        domains(listOf(group, "destination_ip_domain")) {}

  bool hasParameters() const { return process && port && protocol; }
  bool hasDestination() const {
    if (areas) return isps || domains;
    return domains != nullptr;
  }
  // Expands the nesting process, port, protocol, then the destinations; false when full.
  bool expand(const std::function<bool(const std::string&, const std::string&, const std::string&,
                                       const std::string&)>& add) const {
    const auto processes = textsOf(*process, "process");
    const auto ports = textsOf(*port, "port");
    const auto protocols = textsOf(*protocol, "protocol");
    for (const auto& p : processes) {
      for (const auto& q : ports) {
        for (const auto& r : protocols) {
          AddOne one = [&](const std::string& d) { return add(p, q, r, d); };
          bool more = areas && isps ? byAreaisp(*areas, *isps, one) : byDomain(*domains, one);
          if (!more) return false;
        }
      }
    }
    return true;
  }
};

void buildWhite(RuleLists& l, const json& rules) {
  std::int32_t group = 2;
  for (const auto& g : rules) {
    GroupLists lists(g);
    if (!lists.hasParameters()) {
      LOG::console("提取白名单失败，有流量分组参数为空");
      return;
    }
    if (!lists.hasDestination()) {
      LOG::console("提取白名单失败，规则不存在");
      return;
    }
    const std::int32_t level = int32Of(memberOf(g, "traffic_level")).value_or(0);
    bool more =
        lists.expand([&](const std::string& p, const std::string& q, const std::string& r,
                         const std::string& d) { return addWhite(l, p, q, r, d, group, level); });
    if (!more) {
      LOG::console("白名单规则过多，只保留前 " + std::to_string(kMaxRulesOfOneKind) + " 条");
      return;
    }
    ++group;
  }
  LOG::console("一共解析 " + std::to_string(l.white.size()) + " 条白名单规则");
}

// The older service's own host never goes through the tunnel.
std::string serviceHost() {
  std::string host = TsParams::getUseddomain();
  for (const char* scheme : {"http://", "Http://", "HTTP://"}) {
    for (std::size_t at; (at = host.find(scheme)) != std::string::npos;)
      host.erase(at, std::strlen(scheme));
  }
  return host;
}

void buildBlack(RuleLists& l, const json& blacklist) {
  addBlack(l, "*", "*", "tcp", serviceHost());
  for (const auto& g : blacklist) {
    GroupLists lists(g);
    if (!lists.hasParameters()) {
      LOG::console("提取黑名单失败，参数错误 A");
      return;
    }
    if (!lists.hasDestination()) {
      LOG::console("提取黑名单失败，参数错误 B");
      return;
    }
    bool more = lists.expand([&](const std::string& p, const std::string& q, const std::string& r,
                                 const std::string& d) { return addBlack(l, p, q, r, d); });
    if (!more) {
      LOG::console("黑名单规则过多，只保留前 " + std::to_string(kMaxRulesOfOneKind) + " 条");
      return;
    }
  }
  LOG::console("一共解析 " + std::to_string(l.black.size()) + " 条黑名单规则");
}

void buildDns(RuleLists& l, const json& dnsRule) {
  l.dnsIsEmpty = true;
  for (const auto& g : dnsRule) {
    auto server = textOf(memberOf(g, "dns_server"));
    if (!server) {
      LOG::console("DNS规则缺少dns_server，跳过 " + g.dump());
      continue;
    }
    abi::dns_rule_config record;
    std::memset(&record, 0, sizeof record);
    copyField(record.server, *server, 15);
    if (const json* domains = listOf(g, "destination_domain")) {
      for (const auto& d : textsOf(*domains, "destination_domain")) {
        std::memset(record.domains, 0, sizeof record.domains);
        copyField(record.domains, d, 255);
        l.dns.push_back(record);
      }
    }
    addWhite(l, "*", "53", "UDP", *server, 1, 1);
    l.dnsIsEmpty = false;
  }
  LOG::console("一共解析 " + std::to_string(l.dns.size()) + " 条dns规则");
}

// One half of the stream limit; the other half would be corrupted by bits above 16.
std::uint32_t limitHalf(const json& data, const char* key) {
  const json* v = memberOf(data, key);
  if (!v) return 0;
  auto n = numberOf(v);
  if (!n) {
    LOG::console(std::string(key) + " 不是数字，按 0 处理: " + v->dump());
    return 0;
  }
  if (*n < 0 || *n > 65535) {
    std::int64_t clamped = std::clamp<std::int64_t>(*n, 0, 65535);
    LOG::console(std::string(key) + "=" + std::to_string(*n) + " 超出范围，按 " +
                 std::to_string(clamped) + " 处理");
    return static_cast<std::uint32_t>(clamped);
  }
  return static_cast<std::uint32_t>(*n);
}

std::optional<ExitServer> exitOf(const json& element, std::int32_t level, std::int32_t group,
                                 std::int32_t ruleId) {
  if (!element.is_object()) {
    LOG::console("出口格式错误，跳过 " + element.dump());
    return std::nullopt;
  }
  ExitServer x;
  x.setAddr(textOf(memberOf(element, "addr")).value_or(""));
  x.setNat(textOf(memberOf(element, "nat")).value_or(""));
  x.setLevel(level);
  x.setFlowGroupId(group);
  x.setRule_id(ruleId);
  return x;
}

void buildExits(RuleLists& l, const json& data, const json& rules) {
  if (!l.dnsIsEmpty) {
    const std::int32_t level = int32Of(memberOf(data, "dns_rule_traffic_level")).value_or(0);
    if (const json* exits = listOf(data, "dns_rule_exits")) {
      for (const auto& e : *exits) {
        if (auto x = exitOf(e, level, 1, -1)) {
          LOG::console("获取DNS出口 " + x->ipAddress() + ":" + x->addr());
          l.exits.push_back(std::move(*x));
        }
      }
    }
  }
  std::int32_t group = 2;
  for (const auto& g : rules) {
    const std::int32_t level = int32Of(memberOf(g, "traffic_level")).value_or(0);
    const std::int32_t ruleId = int32Of(memberOf(g, "id")).value_or(0);
    if (const json* exits = listOf(g, "exits")) {
      for (const auto& e : *exits) {
        if (auto x = exitOf(e, level, group, ruleId)) {
          LOG::console("获取白名单出口 " + x->ipAddress() + ":" + x->addr());
          l.exits.push_back(std::move(*x));
        }
      }
    }
    ++group;
  }
}

void buildEntrances(RuleLists& l, const json& entrances,
                    const std::function<void(EntranceServer&)>& selectPort) {
  for (const auto& element : entrances) {
    auto ip = textOf(memberOf(element, "ip"));
    if (!element.is_object() || !ip) {
      LOG::console("入口格式错误，跳过 " + element.dump());
      continue;
    }
    EntranceServer e;
    e.setIp(*ip);
    if (const json* ports = listOf(element, "ports")) e.setPortArray(*ports);
    selectPort(e);
    if (e.delay() < EntranceServer::kNoDelay) {
      l.entrances.push_back(std::move(e));
    } else {
      LOG::console("入口无可用端口，丢弃 " + e.ip());
    }
  }
}

TsPathServiceSnapshot measure(const std::vector<EntranceServer>& entrances,
                              const std::vector<ExitServer>& exits) {
  auto service = std::make_shared<TsPathService>();
  for (const auto& e : entrances) {
    for (const auto& x : exits) service->addPath(e, x);
  }
  service->VelocityMeasurement();
  return service;
}

TsParams::Probes probes() {
  TsParams::Probes p;
  {
    std::lock_guard lock(state().mu);
    p = state().probes;
  }
  if (!p.selectPort) p.selectPort = [](EntranceServer& e) { e.SelectEntrancePort(); };
  if (!p.measurePaths) p.measurePaths = measure;
  return p;
}

// The old service is released outside the lock: its destructor waits for its report, which
// must not hold up the control reader's look-ups.
void replacePathService(TsPathServiceSnapshot fresh, bool clearLists) {
  TsPathServiceSnapshot old;
  {
    std::lock_guard lock(state().mu);
    if (clearLists) state().lists = RuleLists{};
    old = std::exchange(state().pathService, std::move(fresh));
  }
}

void publish(const RuleLists& l) {
  std::lock_guard lock(state().mu);
  state().lists = l;
}

void saveLastAcceleration(const RuleLists& l) {
  json entrances = json::array();
  for (const auto& e : l.entrances) entrances.push_back(e.ip());
  LOG::console("提取的入口有: " + entrances.dump());
  std::vector<const ExitServer*> distinct;
  json exits = json::array();
  for (const auto& x : l.exits) {
    bool seen = std::any_of(distinct.begin(), distinct.end(),
                            [&](const ExitServer* d) { return d->isEqualToExit(x); });
    if (seen) continue;
    distinct.push_back(&x);
    exits.push_back({{"addr", x.addr()}, {"nat", x.nat()}});
  }
  LOG::console("提取的出口有: " + exits.dump());
  auto key = TsParams::getPacketId();
  if (!key) {
    LOG::console("没有套餐编号，不保存本次加速的出入口信息");
    return;
  }
  TsParamsDirectory::setNSDictionaryValue(*key, {{"entrances", entrances}, {"exits", exits}});
}

}  // namespace

std::optional<std::string> TsParams::updateWithRulelistReturnObject(const nlohmann::json& reply) {
  const Probes run = probes();
  RuleLists l;
  replacePathService(std::make_shared<const TsPathService>(), true);

  const json* data = objectOf(reply, "data");
  if (!data) {
    LOG::console("规则返回值[data]字段为空");
    return std::string("加速规则获取失败");
  }

  const json* flowId = memberOf(*data, "flow_id");
  if (flowId &&
      (flowId->is_string() || flowId->is_number_integer() || flowId->is_number_unsigned())) {
    setFlowId(*flowId);
  } else {
    setFlowId("0");
  }
  LOG::console("获取flow_id=" + getFlowId());

  const json* rules = listOf(*data, "rules");
  if (!rules) {
    LOG::console("规则返回值[rules]字段为空");
    return std::string("加速规则为空");
  }
  buildWhite(l, *rules);
  if (const json* blacklist = listOf(*data, "blacklist")) buildBlack(l, *blacklist);
  if (const json* dnsRule = listOf(*data, "dns_rule")) buildDns(l, *dnsRule);
  l.streamLimit =
      (limitHalf(*data, "up_stream_limit") << 16) | limitHalf(*data, "down_stream_limit");

  const json* entrances = listOf(*data, "entrance");
  if (!entrances) {
    LOG::console("入口服务器为空");
    publish(l);
    return std::string("无可用入口服务器");
  }
  buildEntrances(l, *entrances, run.selectPort);
  if (l.entrances.empty()) {
    LOG::console("入口测试失败，无可用入口服务器");
    publish(l);
    return std::string("入口测试失败，无可用入口服务器");
  }

  buildExits(l, *data, *rules);
  publish(l);
  auto service = run.measurePaths(l.entrances, l.exits);
  if (!service) service = std::make_shared<const TsPathService>();
  replacePathService(std::move(service), false);
  saveLastAcceleration(l);
  return std::nullopt;
}

std::vector<abi::white_rule_config> TsParams::getWhiteArray() {
  std::lock_guard lock(state().mu);
  return state().lists.white;
}
std::vector<std::string> TsParams::getBlackArray() {
  std::lock_guard lock(state().mu);
  return state().lists.black;
}
std::vector<abi::dns_rule_config> TsParams::getDnsArray() {
  std::lock_guard lock(state().mu);
  return state().lists.dns;
}
bool TsParams::dnsRuleIsEmpty() {
  std::lock_guard lock(state().mu);
  return state().lists.dnsIsEmpty;
}
std::vector<EntranceServer> TsParams::getEntranceServerArray() {
  std::lock_guard lock(state().mu);
  return state().lists.entrances;
}
std::vector<ExitServer> TsParams::getExitServerArray() {
  std::lock_guard lock(state().mu);
  return state().lists.exits;
}
TsPathServiceSnapshot TsParams::getPathService() {
  std::lock_guard lock(state().mu);
  return state().pathService;
}
std::uint32_t TsParams::getStreamLimit() {
  std::lock_guard lock(state().mu);
  return state().lists.streamLimit;
}

std::int64_t TsParams::getUpstreamlimit() {
  std::lock_guard lock(upstream().mu);
  return upstream().bytes;
}
void TsParams::setUpstreamlimit(std::int64_t bytes) {
  std::lock_guard lock(upstream().mu);
  upstream().bytes = bytes;
}
std::int64_t TsParams::getDownstreamlimit() {
  std::lock_guard lock(downstream().mu);
  return downstream().bytes;
}
void TsParams::setDownstreamlimit(std::int64_t bytes) {
  std::lock_guard lock(downstream().mu);
  downstream().bytes = bytes;
}

KextRuleSet TsParams::kextRuleSet() {
  KextRuleSet set;
  set.flowId = getFlowId();
  {
    std::lock_guard lock(state().mu);
    set.dns = state().lists.dns;
    set.white = state().lists.white;
    set.black = state().lists.black;
  }
  set.clientIp = TsSystemInformation::localIPAddress();
  return set;
}

KextHelper::Hooks TsParams::kextHooks() {
  KextHelper::Hooks h;
  h.path = [](std::uint32_t offset) -> std::optional<KextPathAnswer> {
    auto service = getPathService();
    if (!service) return std::nullopt;
    // Offsets past 31 bits name no flow group.
    if (offset > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
      return std::nullopt;
    auto path = service->getPathWithOffset(static_cast<std::int32_t>(offset));
    if (!path) return std::nullopt;
    return KextPathAnswer{path->entrance().ip(), path->entrance().port(), path->exit().addr(),
                          path->exit().nat()};
  };
  h.streamLimit = [] { return getStreamLimit(); };
  h.traffic = [](std::int64_t up, std::int64_t down) {
    setUpstreamlimit(up);
    setDownstreamlimit(down);
  };
  return h;
}

void TsParams::fetchWhiteRules(const nlohmann::json& rules) {
  if (!rules.is_array()) return;
  std::lock_guard lock(state().mu);
  buildWhite(state().lists, rules);
}

void TsParams::fetchWhiteRulesWithAreaisp(const std::string& process, const std::string& port,
                                          const std::string& protocol,
                                          const nlohmann::json& dictOfArea,
                                          const nlohmann::json& dictOfIsp, std::int32_t folwGroupID,
                                          std::int32_t level) {
  if (!dictOfArea.is_array() || !dictOfIsp.is_array()) return;
  std::lock_guard lock(state().mu);
  byAreaisp(dictOfArea, dictOfIsp, [&](const std::string& d) {
    return addWhite(state().lists, process, port, protocol, d, folwGroupID, level);
  });
}

void TsParams::fetchWhiteRulesWithDomain(const std::string& process, const std::string& port,
                                         const std::string& protocol,
                                         const nlohmann::json& dictOfDomain,
                                         std::int32_t folwGroupID, std::int32_t level) {
  if (!dictOfDomain.is_array()) return;
  std::lock_guard lock(state().mu);
  byDomain(dictOfDomain, [&](const std::string& d) {
    return addWhite(state().lists, process, port, protocol, d, folwGroupID, level);
  });
}

void TsParams::AddWhiteRulesItem(const std::string& process, const std::string& port,
                                 const std::string& protocol, const std::string& domainOrIp,
                                 std::int32_t folwGroupID, std::int32_t level) {
  std::lock_guard lock(state().mu);
  addWhite(state().lists, process, port, protocol, domainOrIp, folwGroupID, level);
}

void TsParams::fetchBkackRules(const nlohmann::json& blacklist) {
  if (!blacklist.is_array()) return;
  std::lock_guard lock(state().mu);
  buildBlack(state().lists, blacklist);
}

void TsParams::fetchBlackRulesWithAreaisp(const std::string& process, const std::string& port,
                                          const std::string& protocol,
                                          const nlohmann::json& dictOfArea,
                                          const nlohmann::json& dictOfIsp) {
  if (!dictOfArea.is_array() || !dictOfIsp.is_array()) return;
  std::lock_guard lock(state().mu);
  byAreaisp(dictOfArea, dictOfIsp, [&](const std::string& d) {
    return addBlack(state().lists, process, port, protocol, d);
  });
}

void TsParams::fetchBlackRulesWithDomain(const std::string& process, const std::string& port,
                                         const std::string& protocol,
                                         const nlohmann::json& dictOfDomain) {
  if (!dictOfDomain.is_array()) return;
  std::lock_guard lock(state().mu);
  byDomain(dictOfDomain, [&](const std::string& d) {
    return addBlack(state().lists, process, port, protocol, d);
  });
}

void TsParams::AddBlackRulesItem(const std::string& process, const std::string& port,
                                 const std::string& protocol, const std::string& domainOrIp) {
  std::lock_guard lock(state().mu);
  addBlack(state().lists, process, port, protocol, domainOrIp);
}

void TsParams::fetchDnsRules(const nlohmann::json& dnsRule) {
  if (!dnsRule.is_array()) return;
  std::lock_guard lock(state().mu);
  buildDns(state().lists, dnsRule);
}

void TsParams::setProbes(Probes p) {
  std::lock_guard lock(state().mu);
  state().probes = std::move(p);
}

void TsParams::resetRuleLists() {
  replacePathService(std::make_shared<const TsPathService>(), true);
  setUpstreamlimit(0);
  setDownstreamlimit(0);
}
