// The line manager against the account stand-in: lists, reselection of the stored line, the
// stored default line, failures, and the chosen line reaching the rule request of the older
// service.
#include <gtest/gtest.h>

#include "SessionTestSupport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Sections/Line/HLNetLineNodeManage.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Web/TsWebService.h"
#include "standin/OlderService.h"

namespace {

using nlohmann::json;
constexpr const char* kPath = "/q5client/rule/get-exit-set";

json node(json areaId, std::string city, int country = 1, std::string lock = "") {
  json n = {{"city", city},
            {"country", "C" + std::to_string(country)},
            {"country_id", country},
            {"national_flag", "f" + std::to_string(country) + ".png"}};
  if (!areaId.is_null()) n["area_id"] = areaId;
  if (!lock.empty()) n["lock"] = lock;
  return n;
}

json answer(json list, json groups = json::array()) { return {{"group", groups}, {"list", list}}; }

class LineNodeManagerTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    signIn(accountPayload({{"uid", 4242}}));
  }
  std::unique_ptr<HLNetLineNodeManage> manager() {
    return std::make_unique<HLNetLineNodeManage>(*defaults, [this] { return user->uid(); });
  }
  Outcome<JVX_RESP_RULE_GET_EXIT_SET> fetch(HLNetLineNodeManage& m, json payload) {
    account.scriptPayloads(kPath, {payload});
    return run(m.fetchNetLineNodeInfo());
  }
  std::string storedName(bool chosen) {
    auto n = chosen ? defaults->selectedNetNode() : defaults->defaultsNetNode();
    return n ? n->nodeName.value_or("?") : "none";
  }
};

TEST_F(LineNodeManagerTest, AnswerBuildsListsAndStoresTheFirstLine) {
  auto m = manager();
  auto out = fetch(*m, answer({node(5, "a", 1, ""), node(6, "b", 2, "VIP"), node(7, "c", 1)},
                              {{{"country", "C1"}, {"country_id", 1}, {"national_flag", "f1.png"}},
                               {{"country", "C2"}, {"country_id", 2}}}));
  ASSERT_TRUE(out.completed);
  ASSERT_EQ(out.values.size(), 1u);
  auto sent = seen(account, kPath);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].info->at("uid"), 4242);
  EXPECT_EQ(sent[0].info->at("mac"), TQAPIConfig::sharedInstance().userIdentify());

  ASSERT_EQ(m->allNetNodeGroups().size(), 3u);
  EXPECT_EQ(m->allNetNodeGroups()[0]->countryName, "All");
  EXPECT_TRUE(m->allNetNodeGroups()[0]->isSelected());
  EXPECT_EQ(m->allNetNodeGroups()[1]->iconUrlString, "f1");
  ASSERT_EQ(m->allNetNodes().size(), 3u);
  EXPECT_EQ(m->allNetNodes()[0]->nodeName, "C1-a");
  EXPECT_FALSE(m->allNetNodes()[0]->isLocked());
  EXPECT_TRUE(m->allNetNodes()[1]->isLocked());
  EXPECT_EQ(m->allNetNodes()[1]->lockDesc, "VIP");
  EXPECT_EQ(m->netNodesInselectedGroup().size(), 3u);
  EXPECT_EQ(storedName(true), "C1-a");
  EXPECT_EQ(storedName(false), "C1-a");
  EXPECT_TRUE(defaults->selectedNetNode()->isSelected());

  m->setSelectedNetNodeGroup(m->allNetNodeGroups()[1]);
  auto c1 = m->netNodesInselectedGroup();
  ASSERT_EQ(c1.size(), 2u);
  EXPECT_EQ(c1[1]->nodeName, "C1-c");
  EXPECT_FALSE(m->allNetNodeGroups()[0]->isSelected());
  auto nowhere = HLNetLineNodeGroup::all();
  nowhere->countryId = tq::Number(77);
  m->setSelectedNetNodeGroup(nowhere);
  EXPECT_TRUE(m->netNodesInselectedGroup().empty());
}

TEST_F(LineNodeManagerTest, StoredLineIsChosenAgainOrGivesWayToTheFirstOpenLine) {
  struct Case {
    const char* name;
    json stored;  // areaId of the stored line (null: none stored)
    json list;
    const char* chosen;
  };
  const Case cases[] = {
      {"still open", 6, json{node(5, "a"), node(6, "b")}, "C1-b"},
      {"same id as a double", 6, json{node(5, "a"), node(6.0, "b")}, "C1-b"},
      {"stored as a double", 6.0, json{node(5, "a"), node(6, "b")}, "C1-b"},
      {"two with the id: the later", 6, json{node(6, "b1"), node(5, "a"), node(6, "b2")}, "C1-b2"},
      {"now locked", 6, json{node(5, "a", 1, "VIP"), node(6, "b", 1, "VIP"), node(7, "c")}, "C1-c"},
      {"gone", 9, json{node(5, "a", 1, "VIP"), node(7, "c")}, "C1-c"},
      {"none open", 9, json{node(5, "a", 1, "VIP"), node(7, "c", 1, "VIP")}, "C1-a"},
      {"nothing stored", nullptr, json{node(5, "a", 1, "VIP"), node(7, "c")}, "C1-c"},
      {"no area id skipped", 6, json{node(nullptr, "x"), node(6, "b")}, "C1-b"},
      {"wrong-kind area id skipped", 6, json{node("six", "x"), node(6, "b")}, "C1-b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stored.is_null()) {
      defaults->setSelectedNetNode(nullptr);
    } else {
      auto s = std::make_shared<HLNetLineNodeEntity>();
      s->areaId = *tq::Number::fromJSON(c.stored);
      s->nodeName = "old";
      defaults->setSelectedNetNode(s);
    }
    auto m = manager();
    ASSERT_TRUE(fetch(*m, answer(c.list)).completed);
    EXPECT_EQ(storedName(true), c.chosen);
    ASSERT_TRUE(m->selectedNetNode());
    EXPECT_EQ(m->selectedNetNode()->nodeName, c.chosen);
    EXPECT_TRUE(m->selectedNetNode()->isSelected());
    // The default line is the first listed, whatever was chosen.
    EXPECT_EQ(storedName(false), m->allNetNodes().front()->nodeName.value());
  }
}

TEST_F(LineNodeManagerTest, EmptyListClearsBothLinesAndAFailureChangesNothing) {
  auto m = manager();
  ASSERT_TRUE(fetch(*m, answer({node(5, "a"), node(6, "b")}, {{{"country_id", 1}}})).completed);
  m->setSelectedNetNode(m->allNetNodes()[1]);
  m->setSelectedNetNodeGroup(m->allNetNodeGroups()[1]);

  account.setCodeForPath(kPath, 500, "down");
  auto failed = run(m->fetchNetLineNodeInfo());
  EXPECT_TRUE(failed.error);
  EXPECT_EQ(m->allNetNodes().size(), 2u);
  EXPECT_EQ(m->selectedNetNode()->nodeName, "C1-b");
  EXPECT_EQ(storedName(true), "C1-b");
  EXPECT_EQ(storedName(false), "C1-a");
  account.clearCodes();

  // The listed group is carried to the new answer's group of the same id.
  ASSERT_TRUE(fetch(*m, answer(json::array({node(6, "b")}), {{{"country_id", 1}}})).completed);
  EXPECT_EQ(m->selectedNetNodeGroup(), m->allNetNodeGroups()[1]);
  EXPECT_TRUE(m->allNetNodeGroups()[1]->isSelected());

  ASSERT_TRUE(fetch(*m, answer(json::array())).completed);
  EXPECT_TRUE(m->allNetNodes().empty());
  ASSERT_EQ(m->allNetNodeGroups().size(), 1u);  // "All" only
  EXPECT_EQ(storedName(true), "none");
  EXPECT_EQ(storedName(false), "none");
}

TEST_F(LineNodeManagerTest, StoredLineThatIsNoObjectReadsAsNone) {
  for (const char* text : {"", "[]", "42", "\"x\"", "{bad"}) {
    SCOPED_TRACE(text);
    store->set("selectedNetNode", std::string(text));
    EXPECT_EQ(defaults->selectedNetNode(), nullptr);
  }
  store->set("defaultsNetNode", std::string(R"({"areaId":3,"nodeName":"n","locked":false})"));
  ASSERT_TRUE(defaults->defaultsNetNode());
  EXPECT_EQ(defaults->defaultsNetNode()->areaId, tq::Number(3));
}

TEST_F(LineNodeManagerTest, RuleRequestSendsTheChosenArea) {
  auto m = manager();
  ASSERT_TRUE(fetch(*m, answer({node(5, "a"), node(6.0, "b")})).completed);
  m->setSelectedNetNode(m->allNetNodes()[1]);

  standin::OlderService older;
  ASSERT_TRUE(older.start());
  set_JVXDomain(older.address());
  TsParamsDirectory::setStore(store);
  TsParams::updateWithLoginReturnObject({{"data", {{"uid", 4242}}}});
  TQError error;
  EXPECT_TRUE(TsWebService::getRules(&error)) << error.description;
  TsParamsDirectory::setStore(nullptr);
  auto r = older.lastRequest("/q5client/rule/list");
  ASSERT_TRUE(r && r->payload);
  EXPECT_EQ(json::parse(*r->payload).at("area_id"), 6.0);
  older.stop();
}

}  // namespace
