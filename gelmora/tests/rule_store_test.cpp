// The rule store's parse of rule-list answers: one table of answers (fixture files and small
// inline ones) against the records, texts, exits and failure texts they must give, then the
// saved last-acceleration record, the published paths and the hooks handed to the control reader.
// Entrance and path probes are replaced, so nothing leaves the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

#include "TestSupport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"

using nlohmann::json;
namespace kabi = tamsel::abi;

namespace {

json fixture(const std::string& name) {
  std::ifstream in(std::string(RULE_FIXTURES_DIR) + "/" + name);
  auto j = json::parse(in, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << name;
  return j;
}

// A port answers unless it is 9; the first answering port in list order is taken.
void fakePortProbe(EntranceServer& e) {
  e.setDelay(EntranceServer::kNoDelay);
  if (!e.portArray().is_array()) return;
  for (const auto& p : e.portArray()) {
    std::uint16_t port = EntranceServer::portValue(p);
    if (port == 0 || port == 9) continue;
    e.setPort(port);
    e.setDelay(5);
    return;
  }
}

kabi::white_rule_config whiteRecord(std::int32_t offset, std::int32_t level,
                                    const std::string& rule) {
  kabi::white_rule_config r;
  std::memset(&r, 0, sizeof r);
  r.offset = offset;
  r.level = level;
  std::memcpy(r.rule, rule.data(), std::min<std::size_t>(rule.size(), 255));
  return r;
}

kabi::dns_rule_config dnsRecord(const std::string& server, const std::string& domain) {
  kabi::dns_rule_config r;
  std::memset(&r, 0, sizeof r);
  std::memcpy(r.server, server.data(), std::min<std::size_t>(server.size(), 15));
  std::memcpy(r.domains, domain.data(), std::min<std::size_t>(domain.size(), 255));
  return r;
}

struct White {
  std::int32_t offset;
  std::int32_t level;
  std::string rule;
};
struct Dns {
  std::string server;
  std::string domain;
};
struct Exit {
  std::string addr;
  std::string nat;
  std::int32_t group;
  std::int32_t level;
  std::int32_t ruleId;
};

struct Case {
  std::string name;
  json reply;
  std::optional<std::string> failure;
  std::string flowId;  // empty: left as the last parse set it
  std::vector<White> white;
  std::vector<std::string> black;
  std::vector<Dns> dns;
  std::uint32_t streamLimit = 0;
  std::vector<std::string> entrances;
  std::vector<Exit> exits;
  std::vector<std::string> logged;  // lines that must appear
};

const std::string kHostRule = "*|older.example|*|tcp";
const std::string kLong(300, 'd');

std::vector<Case> cases() {
  std::vector<Case> c;
  c.push_back({
      "every kind of rule",
      fixture("rule_list_full.json"),
      std::nullopt,
      "5001",
      {
          // area 1 with ISP "2": both ranges, domains unused; processes, ports, protocols nest
          {2, 3, "game.exe|1.0.0.0-1.0.0.255|27015-27030|UDP"},
          {2, 3, "game.exe|198.51.100.0-198.51.100.255|27015-27030|UDP"},
          {2, 3, "game.exe|1.0.0.0-1.0.0.255|443|UDP"},
          {2, 3, "game.exe|198.51.100.0-198.51.100.255|443|UDP"},
          // area without ISP ids: the domains
          {3, 2, "launcher|play.example.com|*|TCP"},
          {3, 2, "patcher|play.example.com|*|TCP"},
          // the DNS server itself, after the groups
          {1, 1, "*|198.51.100.53|53|UDP"},
      },
      {kHostRule, "*|192.0.2.0-192.0.2.255|*|tcp", "updater|cdn.example.net|80|tcp"},
      {{"198.51.100.53", "a.example"},
       {"198.51.100.53", "b.example"},
       {"198.51.100.53", "c.example"}},
      (100u << 16) | 200u,
      // no ports and a silent port drop their entrances
      {"127.0.0.2"},
      {{"1-9", "MjAzLjAuMTEzLjk=", 1, 1, -1},
       {"1-2", "MTk4LjUxLjEwMC43", 2, 3, 11},
       {"1-2", "MTk4LjUxLjEwMC43", 3, 2, 12},
       {"1-3", "MTk4LjUxLjEwMC44", 3, 2, 12}},
      {"获取flow_id=5001", "一共解析 6 条白名单规则", "一共解析 3 条黑名单规则",
       "一共解析 3 条dns规则", "获取DNS出口 203.0.113.9:1-9", "获取白名单出口 198.51.100.8:1-3"},
  });
  c.push_back({
      "empty process list, missing protocol, clamped limits, dropped entrances",
      fixture("rule_list_group_gaps.json"),
      std::nullopt,
      "6002",
      // the empty group keeps its id (2); the group without protocol stops the rest
      {{3, 4, "game|match.example|3074|UDP"}},
      {},  // no "blacklist": not even the service host
      {},
      0xFFFF0000u,
      {"127.0.0.3"},
      // exits of the wrong type count as none; later groups still count their ids
      {{"2-1", "MTk4LjUxLjEwMC43", 2, 1, 21},
       {"2-3", "MTk4LjUxLjEwMC44", 4, 4, 23},
       {"2-4", "MTk4LjUxLjEwMC43", 5, 4, 24}},
      {"提取白名单失败，有流量分组参数为空", "up_stream_limit=70000 超出范围，按 65535 处理",
       "down_stream_limit=-5 超出范围，按 0 处理"},
  });
  c.push_back({
      "entrance of the wrong type",
      fixture("rule_list_no_entrance.json"),
      "无可用入口服务器",
      "5003",
      {{2, 1, "game|match.example|*|UDP"}},
      {kHostRule},  // an empty blacklist still keeps the host out
      {},
      0,
      {},
      {},
      {"入口服务器为空"},
  });
  for (json reply : {json::object(), json{{"data", json::array()}}, json{{"data", "rules"}},
                     json::array(), json("text")}) {
    c.push_back({"data missing: " + reply.dump(),
                 reply,
                 "加速规则获取失败",
                 "",
                 {},
                 {},
                 {},
                 0,
                 {},
                 {},
                 {"规则返回值[data]字段为空"}});
  }
  for (json rules : {json(nullptr), json::object(), json("x")}) {
    json data = {{"flow_id", 7}};
    if (!rules.is_null()) data["rules"] = rules;
    c.push_back({"rules missing: " + rules.dump(),
                 {{"data", data}},
                 "加速规则为空",
                 "7",
                 {},
                 {},
                 {},
                 0,
                 {},
                 {},
                 {"规则返回值[rules]字段为空"}});
  }
  c.push_back({
      "no entrance answers",
      {{"data",
        {{"rules", json::array()},
         {"blacklist", json::array({{{"process", {"p"}}, {"port", {1}}, {"protocol", {"tcp"}}}})},
         {"entrance", {{{"ip", "127.0.0.2"}, {"ports", {9}}}, "127.0.0.3", {{"ports", {1}}}}}}}},
      "入口测试失败，无可用入口服务器",
      "0",
      {},
      {kHostRule},  // the group without destination stops black rules after the host
      {},
      0,
      {},
      {},
      {"提取黑名单失败，参数错误 B", "入口测试失败，无可用入口服务器"},
  });
  c.push_back({
      "texts cut to their fields",
      {{"data",
        {{"flow_id", "x"},
         {"rules",
          {{{"process", {"p"}},
            {"port", {1}},
            {"protocol", {"udp"}},
            {"destination_area_id", {1}},
            {"destination_isp_id", json::object()},  // wrong type: the domains
            {"destination_ip_domain", {kLong, 5, 1.5, true}}}}},
         {"dns_rule",
          {{{"dns_server", "198.51.100.253-extra"}, {"destination_domain", {kLong}}},
           {{"destination_domain", {"no.server"}}}}},
         {"up_stream_limit", "12"},
         {"down_stream_limit", 1e300},
         {"entrance", {{{"ip", "127.0.0.2"}, {"ports", {"8000"}}}}}}}},
      std::nullopt,
      "x",
      {{2, 0, "p|" + kLong + "|1|udp"},
       {2, 0, "p|5|1|udp"},
       {1, 1, "*|198.51.100.253-extra|53|UDP"}},
      {},
      {{"198.51.100.253-extra", kLong}},
      12u << 16,
      {"127.0.0.2"},
      {},
      {"规则字段类型错误，跳过 destination_ip_domain=1.5", "DNS规则缺少dns_server",
       "down_stream_limit 不是数字，按 0 处理"},
  });
  c.push_back({
      "area ids without ISP ids or domains",
      {{"data",
        {{"rules",
          {{{"process", {"p"}},
            {"port", {1}},
            {"protocol", {"udp"}},
            {"destination_area_id", {1}}}}},
         {"blacklist", {{{"port", {1}}, {"protocol", {"udp"}}, {"destination_ip_domain", {"x"}}}}},
         {"entrance", {{{"ip", "127.0.0.2"}, {"ports", {1}}}}}}}},
      std::nullopt,
      "0",
      {},
      {kHostRule},
      {},
      0,
      {"127.0.0.2"},
      {},
      {"提取白名单失败，规则不存在", "提取黑名单失败，参数错误 A"},
  });
  return c;
}

// Never looks up the public address over the network.
class OfflineEnvironment : public AppEnvironment {
 public:
  OfflineEnvironment() { assign(kIPEchoURL, ""); }
};

class Console {
 public:
  Console() {
    LOG::setConsoleSink([this](const std::string& line) {
      std::lock_guard lock(mu_);
      lines_.push_back(line);
    });
  }
  ~Console() { LOG::setConsoleSink({}); }
  bool contains(const std::string& text) const {
    std::lock_guard lock(mu_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  void clear() {
    std::lock_guard lock(mu_);
    lines_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

class RuleStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppEnvironment::setCurrentEnvironment(std::make_shared<OfflineEnvironment>());
    store = std::make_shared<platform::defaults::Store>(dir.path() / "defaults.json");
    TsParamsDirectory::setStore(store);
    TsParams::resetLoginValues();
    TsParams::resetRuleLists();
    TsParams::setUseddomain("http://older.example");
    TsParams::updateAreaispListWithFile(std::string(RULE_FIXTURES_DIR) + "/area_isp.txt");
    TsParams::Probes probes;
    probes.selectPort = fakePortProbe;
    TsParams::setProbes(probes);
    TsPathService::Hooks hooks;
    hooks.probe = [](const TsPathObject& path, const std::vector<std::uint8_t>&) {
      // Paths through the second exit are faster, so the sort has work to do.
      return TsPathService::ProbeResult{path.exit().addr() == "1-3" ? 10 : 20, 0};
    };
    hooks.report = [this](const std::string& path, const std::string& body) {
      std::lock_guard lock(reportMu);
      reports.emplace_back(path, body);
    };
    TsPathService::setHooks(hooks);
  }
  void TearDown() override {
    TsParams::resetRuleLists();  // the last path service waits for its report as it goes
    TsParams::setProbes({});
    TsPathService::setHooks({});
    TsParams::resetRuleLists();
    TsParams::resetLoginValues();
    TsParamsDirectory::setStore(nullptr);
    AppEnvironment::setCurrentEnvironment(nullptr);
  }

  TempDir dir;
  std::shared_ptr<platform::defaults::Store> store;
  Console console;
  std::mutex reportMu;
  std::vector<std::pair<std::string, std::string>> reports;
};

}  // namespace

TEST_F(RuleStoreTest, RepliesGiveTheirRecordsTextsExitsAndFailures) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    console.clear();
    EXPECT_EQ(TsParams::updateWithRulelistReturnObject(c.reply), c.failure);
    if (!c.flowId.empty()) {
      EXPECT_EQ(TsParams::getFlowId(), c.flowId);
    }

    auto white = TsParams::getWhiteArray();
    ASSERT_EQ(white.size(), c.white.size());
    for (std::size_t i = 0; i < white.size(); ++i) {
      auto want = whiteRecord(c.white[i].offset, c.white[i].level, c.white[i].rule);
      EXPECT_EQ(std::memcmp(&white[i], &want, sizeof want), 0)
          << i << ": " << std::string(white[i].rule, ::strnlen(white[i].rule, 256));
    }
    EXPECT_EQ(TsParams::getBlackArray(), c.black);
    auto dns = TsParams::getDnsArray();
    ASSERT_EQ(dns.size(), c.dns.size());
    for (std::size_t i = 0; i < dns.size(); ++i) {
      auto want = dnsRecord(c.dns[i].server, c.dns[i].domain);
      EXPECT_EQ(std::memcmp(&dns[i], &want, sizeof want), 0) << i;
    }
    // A DNS group read shows as the server's own white rule at offset 1.
    bool dnsRead =
        std::any_of(c.white.begin(), c.white.end(), [](const White& w) { return w.offset == 1; });
    EXPECT_EQ(TsParams::dnsRuleIsEmpty(), !dnsRead);
    EXPECT_EQ(TsParams::getStreamLimit(), c.streamLimit);

    std::vector<std::string> entrances;
    for (const auto& e : TsParams::getEntranceServerArray()) entrances.push_back(e.ip());
    EXPECT_EQ(entrances, c.entrances);
    auto exits = TsParams::getExitServerArray();
    ASSERT_EQ(exits.size(), c.exits.size());
    for (std::size_t i = 0; i < exits.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(exits[i].addr(), c.exits[i].addr);
      EXPECT_EQ(exits[i].nat(), c.exits[i].nat);
      EXPECT_EQ(exits[i].flowGroupId(), c.exits[i].group);
      EXPECT_EQ(exits[i].level(), c.exits[i].level);
      EXPECT_EQ(exits[i].rule_id(), c.exits[i].ruleId);
    }
    for (const auto& line : c.logged) EXPECT_TRUE(console.contains(line)) << line;
  }
}

TEST_F(RuleStoreTest, SavesDistinctExitsUnderThePackageKeyOnlyWhenOneIsKnown) {
  ASSERT_EQ(TsParams::updateWithRulelistReturnObject(fixture("rule_list_full.json")), std::nullopt);
  EXPECT_TRUE(console.contains("没有套餐编号，不保存本次加速的出入口信息"));
  EXPECT_TRUE(store->snapshot().empty());

  TsParams::updateWithLoginReturnObject({{"data", {{"package_id", 7}}}});
  ASSERT_EQ(TsParams::updateWithRulelistReturnObject(fixture("rule_list_full.json")), std::nullopt);
  auto saved = TsParamsDirectory::getNSDictionaryValue("package_id7");
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, json::parse(R"({
    "entrances": ["127.0.0.2"],
    "exits": [{"addr": "1-9", "nat": "MjAzLjAuMTEzLjk="},
              {"addr": "1-2", "nat": "MTk4LjUxLjEwMC43"},
              {"addr": "1-3", "nat": "MTk4LjUxLjEwMC44"}]})"));
  EXPECT_TRUE(console.contains(R"(提取的入口有: ["127.0.0.2"])"));

  // A failed parse leaves the record of the last acceleration alone.
  EXPECT_EQ(TsParams::updateWithRulelistReturnObject(json::object()), "加速规则获取失败");
  EXPECT_EQ(TsParamsDirectory::getNSDictionaryValue("package_id7"), saved);
}

TEST_F(RuleStoreTest, PathsOfEveryEntranceAndExitAreMeasuredPublishedAndReported) {
  TsParams::updateWithLoginReturnObject({{"data", {{"uid", 31}}}});
  ASSERT_EQ(TsParams::updateWithRulelistReturnObject(fixture("rule_list_full.json")), std::nullopt);
  auto service = TsParams::getPathService();
  ASSERT_TRUE(service);
  const auto& paths = service->pathArray();
  ASSERT_EQ(paths.size(), 4u);                    // one entrance, four exits (duplicates kept)
  EXPECT_EQ(paths.front().exit().addr(), "1-3");  // sorted by delay
  for (const auto& p : paths) {
    EXPECT_EQ(p.entrance().ip(), "127.0.0.2");
    EXPECT_EQ(p.entrance().port(), 7001);
  }

  // The control reader's answers come from the published paths and the stream limit.
  auto hooks = TsParams::kextHooks();
  auto answer = hooks.path(3);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->entranceIp, "127.0.0.2");
  EXPECT_EQ(answer->port, 7001);
  EXPECT_EQ(answer->exitAddr, "1-3");
  EXPECT_EQ(answer->exitNat, "MTk4LjUxLjEwMC44");
  EXPECT_EQ(hooks.path(1)->exitAddr, "1-9");
  EXPECT_FALSE(hooks.path(9));
  EXPECT_FALSE(hooks.path(0x80000002u));
  EXPECT_EQ(hooks.streamLimit(), (100u << 16) | 200u);
  hooks.traffic(1500, 64);
  EXPECT_EQ(TsParams::getUpstreamlimit(), 1500);
  EXPECT_EQ(TsParams::getDownstreamlimit(), 64);

  // The next parse drops the paths before it measures again.
  EXPECT_EQ(TsParams::updateWithRulelistReturnObject(json::object()), "加速规则获取失败");
  ASSERT_TRUE(TsParams::getPathService());
  EXPECT_TRUE(TsParams::getPathService()->pathArray().empty());
  EXPECT_FALSE(TsParams::kextHooks().path(3));

  service.reset();  // the last owner waits for the report thread
  std::lock_guard lock(reportMu);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].first, "/q5client/path/batch-report");
  auto body = json::parse(reports[0].second);
  ASSERT_EQ(body.size(), 4u);
  EXPECT_EQ(body[0]["uid"], "31");
  EXPECT_EQ(body[0]["flow_id"], "5001");
  EXPECT_EQ(body[0]["exit_addr"], "1-3");
}

TEST_F(RuleStoreTest, PushSetCarriesTheListsOfTheLastParse) {
  ASSERT_EQ(TsParams::updateWithRulelistReturnObject(fixture("rule_list_full.json")), std::nullopt);
  KextRuleSet set = TsParams::kextRuleSet();
  EXPECT_EQ(set.flowId, "5001");
  EXPECT_EQ(set.white.size(), 7u);
  EXPECT_EQ(set.black, TsParams::getBlackArray());
  EXPECT_EQ(set.dns.size(), 3u);
  EXPECT_EQ(set.clientIp, "127.0.0.1");  // the public address is not known here
}

TEST_F(RuleStoreTest, ParseWithoutDnsRulesForgetsTheDnsGroupOfTheLastOne) {
  ASSERT_EQ(TsParams::updateWithRulelistReturnObject(fixture("rule_list_full.json")), std::nullopt);
  EXPECT_FALSE(TsParams::dnsRuleIsEmpty());
  json reply = fixture("rule_list_full.json");
  reply["data"].erase("dns_rule");
  ASSERT_EQ(TsParams::updateWithRulelistReturnObject(reply), std::nullopt);
  EXPECT_TRUE(TsParams::dnsRuleIsEmpty());
  for (const auto& x : TsParams::getExitServerArray()) EXPECT_NE(x.flowGroupId(), 1);
}

TEST_F(RuleStoreTest, MultiplyingListsStopAtTheCapOfOneKind) {
  json many = json::array();
  for (int i = 0; i < 300; ++i) many.push_back("p" + std::to_string(i));
  json reply = {{"data",
                 {{"rules",
                   {{{"process", many},
                     {"port", many},
                     {"protocol", {"udp", "tcp"}},
                     {"destination_ip_domain", {"x"}}}}},
                  {"blacklist",
                   {{{"process", many},
                     {"port", many},
                     {"protocol", {"udp"}},
                     {"destination_ip_domain", {"x"}}}}},
                  {"entrance", {{{"ip", "127.0.0.2"}, {"ports", {1}}}}}}}};
  EXPECT_EQ(TsParams::updateWithRulelistReturnObject(reply), std::nullopt);
  EXPECT_EQ(TsParams::getWhiteArray().size(), 65536u);
  EXPECT_EQ(TsParams::getBlackArray().size(), 65536u);
  EXPECT_TRUE(console.contains("白名单规则过多"));
  EXPECT_TRUE(console.contains("黑名单规则过多"));
}

TEST_F(RuleStoreTest, BuildersAppendToTheStore) {
  TsParams::AddWhiteRulesItem("p", "1", "udp", "x.example", 4, 2);
  TsParams::fetchWhiteRulesWithAreaisp("p", "2", "udp", {1}, {2}, 5, 1);
  TsParams::fetchWhiteRulesWithDomain("p", "3", "udp", {"y.example"}, 6, 1);
  TsParams::AddBlackRulesItem("q", "*", "tcp", "z.example");
  TsParams::fetchBlackRulesWithAreaisp("q", "*", "tcp", {3}, {4});
  TsParams::fetchBlackRulesWithDomain("q", "*", "tcp", "not a list");
  TsParams::fetchDnsRules({{{"dns_server", "198.51.100.1"}, {"destination_domain", {"d"}}}});
  std::vector<std::string> rules;
  for (const auto& w : TsParams::getWhiteArray())
    rules.push_back(std::to_string(w.offset) + " " + w.rule);
  EXPECT_EQ(rules, (std::vector<std::string>{"4 p|x.example|1|udp", "5 p|1.0.0.0-1.0.0.255|2|udp",
                                             "5 p|198.51.100.0-198.51.100.255|2|udp",
                                             "6 p|y.example|3|udp", "1 *|198.51.100.1|53|UDP"}));
  EXPECT_EQ(TsParams::getBlackArray(),
            (std::vector<std::string>{"q|z.example|*|tcp", "q|203.0.113.0-203.0.113.255|*|tcp"}));
  EXPECT_EQ(TsParams::getDnsArray().size(), 1u);
  EXPECT_FALSE(TsParams::dnsRuleIsEmpty());
}
