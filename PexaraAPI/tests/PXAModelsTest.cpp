#include <gtest/gtest.h>

#include <functional>

#include "PexaraAPI/PexaraAPI.h"
#include "Tovra/Codec/TQQueryString.h"

namespace {

using nlohmann::json;

template <class M>
M read(const json& j) {
  TQError error;
  auto m = tq::fromDictionary<M>(j, &error);
  EXPECT_TRUE(m) << error.description;
  return m.value_or(M{});
}

// Key maps, renamed keys and list fields of the game-service models, one row each.
struct Case {
  const char* name;
  std::function<void()> check;
};

class PXAModels : public testing::TestWithParam<Case> {};

TEST_P(PXAModels, Maps) { GetParam().check(); }

INSTANTIATE_TEST_SUITE_P(
    Cases, PXAModels,
    testing::Values(
        Case{"StartInfoReadsVniArrayKey",
             [] {
               auto m = read<PXA_SPEED_START_INFO>(json::parse(
                   R"({"vni-array":[{"id":4,"exits":[{"addr":"1-2","nat":"198.51.100.9"}]}],
                       "flow_id":9})"));
               ASSERT_TRUE(m.vni_array);
               ASSERT_EQ(m.vni_array->size(), 1u);
               EXPECT_EQ((*m.vni_array)[0].id, tq::Number(4));
               EXPECT_EQ((*(*m.vni_array)[0].exits)[0].addr, "1-2");
               EXPECT_EQ(tq::toDictionary(m)["vni-array"][0]["id"], 4);
               EXPECT_FALSE(tq::toDictionary(m).contains("vni_array"));
             }},
        Case{"StartInfoIgnoresSnakeCaseVniArray",
             [] {
               auto m = read<PXA_SPEED_START_INFO>(json{{"vni_array", json::array({{{"id", 1}}})}});
               EXPECT_FALSE(m.vni_array);
             }},
        Case{"RuleFileGroupReadsFlowLevelWithHyphen",
             [] {
               auto g = read<PXA_TRAFFIC_GROUP_V3>(json{{"flow-level", 3}, {"flow_level", 7}});
               EXPECT_EQ(g.flow_level, tq::Number(3));
               EXPECT_EQ(tq::toDictionary(g), (json{{"flow-level", 3}}));
             }},
        Case{"PhoneUpdateWritesNewKeys",
             [] {
               PXA_PHONE_UPDATE_INFO m;
               m.replace_phone = "13900000000";
               m.replace_country_code = "852";
               m.country_code = 86;
               json d = tq::toDictionary(m);
               EXPECT_EQ(d, (json{{"new_phone", "13900000000"},
                                  {"new_country_code", "852"},
                                  {"country_code", 86}}));
               EXPECT_EQ(read<PXA_PHONE_UPDATE_INFO>(d), m);
             }},
        Case{"RuleFileReadsDnsInCapitalsStartInfoUsesDnsRule",
             [] {
               json rule = {
                   {"domain", {" game.example "}}, {"server", "192.0.2.53"}, {"traffic_id", 2}};
               auto file = read<PXA_SPEED_START_CACHE_FILE>(
                   json{{"DNS", json::array({rule})}, {"dns_rule", json::array({rule})}});
               ASSERT_TRUE(file.DNS);
               EXPECT_EQ((*file.DNS)[0].server, "192.0.2.53");
               EXPECT_EQ((*file.DNS)[0].domain, std::vector<json>{" game.example "});
               auto info = read<PXA_SPEED_START_INFO>(json{{"DNS", json::array({rule})}});
               EXPECT_FALSE(info.dns_rule);
               info.dns_rule = *file.DNS;
               EXPECT_TRUE(tq::toDictionary(info).contains("dns_rule"));
             }},
        Case{"GroupWithoutDestHasNoDest",
             [] {
               auto g = read<PXA_TRAFFIC_GROUP>(json{{"id", 1}, {"offset", 4}});
               EXPECT_FALSE(g.dest);
               EXPECT_EQ(tq::toDictionary(g), (json{{"id", 1}, {"offset", 4}}));
             }},
        Case{"EntrancePortsStayUnderPortAsTheyCame",
             [] {
               json j = {{"ip", "198.51.100.1"}, {"port", {7000, "7001"}}};
               auto e = read<PXA_ENTRANCE>(j);
               ASSERT_TRUE(e.port);
               EXPECT_EQ(*e.port, (std::vector<json>{7000, "7001"}));
               EXPECT_EQ(tq::toDictionary(e), j);
             }},
        Case{"UserInfoKeepsNumberAndTextKinds",
             [] {
               json j = {{"uid", 10001},
                         {"token", "t"},
                         {"isBind", true},
                         {"product_id", 3},
                         {"expire_date", "2027-01-01"},
                         {"unknown", 1}};
               auto u = read<PXA_USER_INFO>(j);
               j.erase("unknown");
               EXPECT_EQ(tq::toDictionary(u), j);
               EXPECT_EQ(tq::fromJSON<PXA_USER_INFO>(tq::toJSON(u)), u);
             }},
        Case{"PathInfoCamelCaseKeys",
             [] {
               PXA_PATH_INFO p;
               p.delayA = 12;
               p.lostB = 0.5;
               p.enterIp = "198.51.100.1";
               p.enterPort = 7000;
               p.outAddr = "1-2";
               EXPECT_EQ(tq::toJSON(p), R"({"delayA":12,"enterIp":"198.51.100.1","enterPort":7000,)"
                                        R"("lostB":0.5,"outAddr":"1-2"})");
             }},
        Case{"RequestFieldKindsOnTheModels",
             [] {
               // uid is a number in the start list and text in the phone requests; the form
               // erases the difference, the models keep it.
               PXA_REQ_START_LIST s;
               s.uid = 7;
               PXA_REQ_PHONE_BIND b;
               b.uid = "7";
               b.country_code = 86;
               EXPECT_EQ(tq::toDictionary(s), (json{{"uid", 7}}));
               EXPECT_EQ(tq::toDictionary(b), (json{{"uid", "7"}, {"country_code", 86}}));
               EXPECT_EQ(tq::queryString(tq::toDictionary(s)), "uid=7");
               EXPECT_EQ(tq::queryString(tq::toDictionary(b)), "country_code=86&uid=7");
             }},
        Case{"NestedThirdAccountIsAnObject",
             [] {
               PXA_REQ_CONNECT_LOGIN r;
               r.third_account = PXA_THIRD_ACCOUNT_INFO{};
               r.third_account->provider = "wechat";
               EXPECT_EQ(tq::toDictionary(r), (json{{"third_account", {{"provider", "wechat"}}}}));
             }},
        Case{"WrongKindsFailOrStayUnset",
             [] {
               EXPECT_FALSE(tq::fromDictionary<PXA_SPEED_START_INFO>(json{{"vni-array", 5}}));
               EXPECT_FALSE(
                   tq::fromDictionary<PXA_SPEED_START_NOCACHE_INFO>(json{{"config", "text"}}));
               EXPECT_FALSE(tq::fromDictionary<PXA_USER_INFO>(json::array()));
               EXPECT_FALSE(tq::fromJSON<PXA_SPEED_START_CACHE_FILE>("not json"));
               EXPECT_FALSE(tq::fromJSON<PXA_SPEED_START_CACHE_FILE>("\"scalar\""));
               auto nulls = read<PXA_NOTICE>(json{{"id", nullptr}, {"title", "t"}});
               EXPECT_FALSE(nulls.id);
             }},
        Case{"SecondFamilyListFieldsBecomeModels",
             [] {
               auto rec = read<PXA_CN_RESP_INVITATION_GETRECORD>(json::parse(
                   R"({"hours":"48","record":[{"date":"2026-12-01","name":"a"},{"name":"b"}]})"));
               ASSERT_TRUE(rec.record);
               ASSERT_EQ(rec.record->size(), 2u);
               EXPECT_EQ((*rec.record)[1].name, "b");
               auto buy = read<PXA_CN_RESP_MOBILE_BUY>(
                   json::parse(R"({"set":[{"body":"x","id":[1,2],"title":"Month"}],"top":"t"})"));
               ASSERT_TRUE(buy.set);
               EXPECT_EQ((*buy.set)[0].id, (std::vector<json>{1, 2}));
               auto val = read<PXA_CN_RESP_MOBILE_VALIDATE>(json::parse(
                   R"({"in_app":[{"is_trial_period":0,"product_id":"p1","transaction_id":9}],
                       "msg":"ok"})"));
               ASSERT_TRUE(val.in_app);
               EXPECT_EQ((*val.in_app)[0].transaction_id, tq::Number(9));
               EXPECT_FALSE(tq::fromDictionary<PXA_CN_RESP_MOBILE_VALIDATE>(
                   json{{"in_app", json::array({"not an object"})}}));
             }}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
