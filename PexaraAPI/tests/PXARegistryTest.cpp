#include <set>

#include "PexaraTestSupport.h"
#include "Tovra/Codec/CallRegistry.h"

namespace {

using nlohmann::json;
using Registry = tq::CallRegistry<TQRestAPI>;

using PexaraRegistry = PexaraFixture;

// Calls whose answer is a list of models.
const std::set<std::string> kListAnswers = {"PXA_API_MOBILE_NOTICE_NORMAL",
                                            "PXA_CN_API_MOBILE_PRODUCT"};

TEST_F(PexaraRegistry, EveryCallReachesItsPathAndMapsTheSampleAnswer) {
  PexaraSchemaRegisterCalls();  // keeps the registering object file in the link
  auto orgCalls = Registry::sharedInstance().entriesWithBase("PXAOrgServiceAPI");
  auto cnCalls = Registry::sharedInstance().entriesWithBase("PXACnServiceAPI");
  ASSERT_EQ(orgCalls.size(), 27u);
  ASSERT_EQ(cnCalls.size(), 16u);
  org.setSampleAnswers(true);
  cn.setSampleAnswers(true);

  std::set<std::string> served;
  for (const auto& p : standin::GameStandin::paths()) served.insert(p);

  for (auto [calls, server, other] :
       {std::tuple{&orgCalls, &org, &cn}, std::tuple{&cnCalls, &cn, &org}}) {
    for (const auto& entry : *calls) {
      SCOPED_TRACE(entry.className);
      EXPECT_TRUE(served.count(entry.path)) << entry.path << " has no stand-in answer";
      auto call = entry.factory();
      ASSERT_TRUE(call);
      EXPECT_EQ(call->className(), entry.className);
      // A fresh call: an empty request of its class, no answer.
      EXPECT_FALSE(call->hasResp());
      auto req = call->reqDictionary();
      EXPECT_TRUE(!req || *req == json::object());
      size_t otherBefore = other->requests().size();

      ASSERT_TRUE(run(call));
      EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess) << call->lastError().description;
      EXPECT_EQ(call->path(), entry.path);
      EXPECT_EQ(call->method(), "POST");
      auto seen = server->lastRequest(entry.path);
      ASSERT_TRUE(seen) << "not sent to its family's domain";
      EXPECT_EQ(seen->params, json::object());
      EXPECT_EQ(other->requests().size(), otherBefore) << "sent to the other family";

      EXPECT_EQ(call->hasResp(), call->hasRespClass());
      if (call->hasResp()) {
        json resp = call->respDictionary();
        EXPECT_EQ(resp.is_array(), kListAnswers.count(entry.className) == 1) << resp.dump();
        EXPECT_EQ(resp, standin::GameStandin::samplePayload(entry.path))
            << "the sample maps to the model and back unchanged";
      }
      EXPECT_EQ(call->respData()["result"], standin::GameStandin::samplePayload(entry.path));
    }
  }
}

TEST_F(PexaraRegistry, StandInServesNoPathTheClientDoesNotKnow) {
  PexaraSchemaRegisterCalls();
  std::set<std::string> registered;
  for (const auto& e : Registry::sharedInstance().entries()) registered.insert(e.path);
  for (const auto& p : standin::GameStandin::paths()) EXPECT_TRUE(registered.count(p)) << p;
}

}  // namespace
