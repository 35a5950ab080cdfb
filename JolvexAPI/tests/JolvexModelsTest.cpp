#include <gtest/gtest.h>

#include "JolvexAPI/JolvexSchemaModels.h"

namespace {

using nlohmann::json;

TEST(JolvexModels, UserInfoRoundTripsWithUnsentFieldsAbsent) {
  json answer = {{"uid", 7},           {"username", "ann"},  {"rest_traffic", 1.5},
                 {"expired", false},   {"login_token", "t"}, {"country_code", 86},
                 {"unknown_key", "x"}, {"email", nullptr}};
  auto info = tq::fromDictionary<JVX_USER_INFO>(answer);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->uid->intValue(), 7);
  EXPECT_EQ(*info->username, "ann");
  EXPECT_FALSE(info->email);
  EXPECT_FALSE(info->phone_number);
  std::string text = tq::toJSON(*info);
  auto stored = json::parse(text);
  EXPECT_FALSE(stored.contains("email"));
  EXPECT_FALSE(stored.contains("unknown_key"));
  EXPECT_FALSE(stored.contains("phone_number"));
  EXPECT_EQ(stored.size(), 6u);
  EXPECT_EQ(stored["expired"], false);
  EXPECT_EQ(stored["rest_traffic"], 1.5);
  auto back = tq::fromJSON<JVX_USER_INFO>(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, *info);
  EXPECT_EQ(tq::toJSON(JVX_USER_INFO{}), "{}");
}

TEST(JolvexModels, RuleGroupMapsIdAndDescriptionKeys) {
  auto g = tq::fromDictionary<JVX_RULE_GROUP_INFO>(
      json{{"id", "7"}, {"description", "d"}, {"name", "n"}, {"desc", "ignored"}});
  ASSERT_TRUE(g);
  EXPECT_EQ(*g->ID, "7");
  EXPECT_EQ(*g->desc, "d");
  EXPECT_EQ(*g->name, "n");
  EXPECT_EQ(tq::toDictionary(*g), (json{{"id", "7"}, {"description", "d"}, {"name", "n"}}));
}

TEST(JolvexModels, SpeedStartInfoReadsExitsUnderExistsOnly) {
  json start = {
      {"exists", {{{"addr", "1-2"}, {"nat", "n"}}}},
      {"exits", {{{"addr", "ignored"}}}},
      {"entrance", {{{"ip", "192.0.2.1"}, {"ports", {1000, 1001}}}}},
      {"rules",
       {{{"id", 3}, {"process", {"game"}}, {"exits", {{{"addr", "3-4"}}}}, {"traffic_level", 2}}}},
      {"dns_rule", {{{"destination_domain", {"a.example"}}, {"dns_server", "192.0.2.53"}}}},
      {"flow_id", 99}};
  auto info = tq::fromDictionary<JVX_SPEED_START_INFO>(start);
  ASSERT_TRUE(info);
  ASSERT_TRUE(info->exists);
  ASSERT_EQ(info->exists->size(), 1u);
  EXPECT_EQ(*(*info->exists)[0].addr, "1-2");
  EXPECT_EQ((*info->entrance)[0].ports->size(), 2u);
  EXPECT_EQ(*(*(*info->rules)[0].exits)[0].addr, "3-4");
  EXPECT_EQ(*(*info->dns_rule)[0].dns_server, "192.0.2.53");
  EXPECT_FALSE(tq::toDictionary(*info).contains("exits"));
}

TEST(JolvexModels, WrongKindsFailTheMapping) {
  struct Case {
    const char* what;
    json input;
  } cases[] = {
      {"entrance not a list", {{"entrance", "x"}}},
      {"entrance element not an object", {{"entrance", {1}}}},
      {"rules element not an object", {{"rules", {"r"}}}},
      {"exists an object", {{"exists", {{"addr", "a"}}}}},
      {"rule exits not a list", {{"rules", {{{"exits", 5}}}}}},
      {"process not a list", {{"rules", {{{"process", "p"}}}}}},
      {"not an object", json::array()},
      {"a scalar", 5},
  };
  for (const auto& c : cases) {
    TQError err;
    EXPECT_FALSE(tq::fromDictionary<JVX_SPEED_START_INFO>(c.input, &err)) << c.what;
    EXPECT_EQ(err.domain, TQAPIModelErrorDomain) << c.what;
  }
  EXPECT_FALSE(tq::fromDictionary<JVX_USER_INFO>(json::array()));
  EXPECT_FALSE(tq::fromDictionary<JVXRespPopModel>(json{{"buttons", "b"}}));
}

TEST(JolvexModels, WireKeysAndTypesThatDiffer) {
  // package_id and buy_time are text in one model and numbers in another; the quirk is kept.
  auto order = tq::fromDictionary<JVX_ORDER_LIST>(json{{"package_id", "12"}, {"buy_time", "3"}});
  auto af = tq::fromDictionary<JVX_ORDER_LIST_AF>(json{{"package_id", 12}});
  auto price = tq::fromDictionary<JVX_PACKAGE_PRICE>(json{{"buy_time", 3}});
  auto node = tq::fromDictionary<JVX_NET_NODE_INFO>(json{{"lock", "1"}});
  auto linked = tq::fromDictionary<JVX_LINKED_NAME>(json{{"country_code", "86"}});
  ASSERT_TRUE(order && af && price && node && linked);
  EXPECT_EQ(tq::toDictionary(*order)["package_id"], "12");
  EXPECT_EQ(tq::toDictionary(*order)["buy_time"], "3");
  EXPECT_EQ(tq::toDictionary(*af)["package_id"], 12);
  EXPECT_EQ(tq::toDictionary(*price)["buy_time"], 3);
  EXPECT_EQ(tq::toDictionary(*node)["lock"], "1");
  EXPECT_EQ(tq::toDictionary(*linked)["country_code"], "86");
}

TEST(JolvexModels, PackageSessionNestsModels) {
  json session = {{"packages", {{{"name", "p"}, {"price", {{{"rmb", 10}, {"buy_time", 30}}}}}}},
                  {"traffic_package", {{"rmb", 1}, {"usd", 2}}},
                  {"default_select", 1}};
  auto s = tq::fromDictionary<JVX_PACKAGE_SESSION>(session);
  ASSERT_TRUE(s);
  EXPECT_EQ((*(*s->packages)[0].price)[0].rmb->intValue(), 10);
  EXPECT_EQ(s->traffic_package->usd->intValue(), 2);
  EXPECT_EQ(tq::toDictionary(*s), session);
}

}  // namespace
