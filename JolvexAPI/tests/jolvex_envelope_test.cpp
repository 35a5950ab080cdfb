#include <string>

#include "JolvexTestSupport.h"
#include "Tovra/Codec/PercentEscape.h"

namespace {

using nlohmann::json;
using standin::account::BodyMode;

using JolvexEnvelope = JolvexFixture;

TEST_F(JolvexEnvelope, RequestIsEncipheredJsonBesideMobile) {
  auto call = make<JVX_API_USER_LOGIN>();
  call->req().username = "ann";
  call->req().password = "secret+/=";
  call->req().country_code = "86";
  ASSERT_TRUE(run(call));
  auto seen = account.lastRequest();
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->path, "/q5client/user/login");
  EXPECT_EQ(seen->form.at("mobile"), "mobile");
  ASSERT_TRUE(seen->info);
  EXPECT_EQ(seen->infoText, tq::toJSON(call->req()));
  EXPECT_EQ(*seen->info,
            (json{{"country_code", "86"}, {"password", "secret+/="}, {"username", "ann"}}));
  std::string cipher = JVXCrypto::encryptedStringOfString(seen->infoText);
  EXPECT_EQ(seen->body, "info=" + tq::percentEscape(cipher) + "&mobile=mobile");
  EXPECT_EQ(seen->headers.at("Content-Type"), "application/x-www-form-urlencoded");
}

TEST(JolvexEngines, ShareOneSessionManagerWithTheEnvelopeSerialisers) {
  auto m = JVXServiceEngine::sharedManager();
  EXPECT_EQ(JVXServiceEngine::sharedEngine().manager(), m);
  EXPECT_EQ(JVXFDServiceEngine::sharedEngine().manager(), m);
  EXPECT_NE(&JVXServiceEngine::sharedEngine(), &JVXFDServiceEngine::sharedEngine());
  EXPECT_TRUE(std::dynamic_pointer_cast<JVXServiceRequestSerializer>(m->requestSerializer));
  EXPECT_TRUE(std::dynamic_pointer_cast<JVXServiceResponseSerializer>(m->responseSerializer));
}

TEST_F(JolvexEnvelope, GlobalHeadersGoOutOnBothEngines) {
  TQAPIConfig::sharedInstance().setGlobalHeaderValue("v2", "X-Client");
  auto a = make<JVX_API_USER_PROFILE>();
  auto f = make<JVX_API_FEEDBACK_LIST>();
  ASSERT_TRUE(run(a));
  ASSERT_TRUE(run(f));
  TQAPIConfig::sharedInstance().setGlobalHeaderValue(std::nullopt, "X-Client");
  EXPECT_EQ(account.lastRequest()->headers.at("X-Client"), "v2");
  EXPECT_EQ(feedback.lastRequest()->headers.at("X-Client"), "v2");
}

TEST_F(JolvexEnvelope, EmptyRequestSendsEncipheredEmptyObject) {
  // No request class: the parameters stay {} and go out as the known vector, "/" kept and
  // "+" and "=" escaped.
  auto call = make<JVX_API_RULE_AREA_ISP_LIST>();
  ASSERT_TRUE(run(call));
  auto seen = account.lastRequest();
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->body, "info=ZCb8IYv7fsLw/dLWSZ%2BLpg%3D%3D&mobile=mobile");
  EXPECT_EQ(seen->infoText, "{}");
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess);
}

TEST_F(JolvexEnvelope, UndecipherableOrNonJsonAnswersFail) {
  struct Case {
    BodyMode mode;
    const char* text;
  } cases[] = {
      {BodyMode::Empty200, "解密失败"},
      {BodyMode::Html502, "解密失败"},
      {BodyMode::EncipheredBlank, "解密失败"},
      {BodyMode::NotJSONPlaintext, "Answer is not valid JSON"},
      {BodyMode::JSONScalar, "Answer is not valid JSON"},
  };
  for (const auto& c : cases) {
    account.setBodyMode(c.mode);
    auto call = make<JVX_API_USER_PROFILE>();
    bool failedCallback = false;
    call->setWhenFailed([&](TQAPI&) { failedCallback = true; });
    ASSERT_TRUE(run(call)) << c.text;
    EXPECT_EQ(call->status(), TQAPI::TQAPIStatusFailed) << int(c.mode);
    EXPECT_TRUE(failedCallback);
    EXPECT_EQ(call->lastError().domain, TQAPILocalErrorDomain) << int(c.mode);
    EXPECT_EQ(call->lastError().code, 0) << int(c.mode);
    EXPECT_EQ(call->lastError().description, c.text) << int(c.mode);
    EXPECT_FALSE(call->resp());
  }
}

TEST_F(JolvexEnvelope, OversizedOrDeepPlaintextFailsCleanly) {
  std::string deep(100000, '[');
  std::string deepObject;
  for (int i = 0; i < 5000; ++i) deepObject += "{\"a\":";
  struct Case {
    const char* what;
    std::string plaintext;
  } cases[] = {
      {"deep list", deep},
      {"deep object", deepObject},
      {"truncated JSON", "{\"code\":0,\"data\":{"},
      {"JSON text", "\"text\""},
      {"null", "null"},
  };
  for (const auto& c : cases) {
    account.setPlaintextBody(c.plaintext);
    auto call = make<JVX_API_RULE_LIST>();
    ASSERT_TRUE(run(call)) << c.what;
    EXPECT_EQ(call->status(), TQAPI::TQAPIStatusFailed) << c.what;
    EXPECT_EQ(call->lastError().description, "Answer is not valid JSON") << c.what;
  }
  // Data wins over result on the wire as well.
  account.setPlaintextBody(R"({"code":0,"data":{"flow_id":1},"result":{"flow_id":2}})");
  auto call = make<JVX_API_RULE_LIST>();
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->resp()->flow_id->intValue(), 1);
}

TEST_F(JolvexEnvelope, NoDomainFailsWithoutSending) {
  set_JVXDomain(std::nullopt);
  auto call = make<JVX_API_USER_PROFILE>();
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_EQ(call->lastError().description, "Can't get URL");
  EXPECT_EQ(call->lastError().domain, TQAPILocalErrorDomain);
  set_JVXDomain("");
  auto again = make<JVX_API_USER_PROFILE>();
  ASSERT_TRUE(run(again));
  EXPECT_EQ(again->lastError().description, "Can't get URL");
  EXPECT_TRUE(account.requests().empty());
}

TEST_F(JolvexEnvelope, FastPathRewritesOnlyQ5clientPathsOfTheAccountEngine) {
  struct Case {
    std::shared_ptr<TQRestAPI> call;
    const char* sentPath;
    bool toFeedback;
  } cases[] = {
      {make<JVX_API_USER_HEARTBEAT>(), "/fastclient/user/heartbeat", false},
      {make<JVX_API_RULE_LIST>(), "/fastclient/rule/list", false},
      {make<JVX_API_USER_LOGIN>(), "/fastclient/user/login", false},
      {make<JVX_API_USER_REGISTER>(), "/api/user/register", false},
      {make<JVX_API_ALIPAY_SIGN>(), "/api/alipay/sign", false},
      {make<JVX_API_FEEDBACK_LIST>(), "/api/v1/feedback/list", true},
  };
  account.setSampleAnswers(true);
  feedback.setSampleAnswers(true);
  JVXServiceEngine::sharedEngine().setFastAPIMode(true);
  EXPECT_FALSE(JVXFDServiceEngine::sharedEngine().fastAPIMode());
  for (const auto& c : cases) {
    account.clearRequests();
    feedback.clearRequests();
    ASSERT_TRUE(run(c.call));
    auto& server = c.toFeedback ? feedback : account;
    auto& other = c.toFeedback ? account : feedback;
    ASSERT_TRUE(server.lastRequest()) << c.sentPath;
    EXPECT_EQ(server.lastRequest()->path, c.sentPath);
    EXPECT_TRUE(other.requests().empty()) << c.sentPath;
    EXPECT_EQ(c.call->path(), c.sentPath);
    EXPECT_EQ(c.call->status(), TQAPI::TQAPIStatusSuccess) << c.sentPath;
  }
  // A second send of the same call keeps the rewritten path (no double rewrite).
  account.clearRequests();
  ASSERT_TRUE(run(cases[0].call));
  EXPECT_EQ(cases[0].call->path(), "/fastclient/user/heartbeat");
  EXPECT_EQ(account.lastRequest()->path, "/fastclient/user/heartbeat");
  // Off again: the literal path.
  JVXServiceEngine::sharedEngine().setFastAPIMode(false);
  ASSERT_TRUE(run(cases[0].call));
  EXPECT_EQ(account.lastRequest()->path, "/q5client/user/heartbeat");
}

TEST_F(JolvexEnvelope, PayloadUnderResultMapsLikeData) {
  account.setSampleAnswers(true);
  account.setPayloadUnderResult(true);
  auto call = make<JVX_API_RULE_GROUPS>();
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess);
  ASSERT_TRUE(call->resp());
  ASSERT_TRUE(call->resp()->groups);
  EXPECT_EQ(*(*call->resp()->groups)[0].ID, "id-text");
  EXPECT_TRUE(call->respData().contains("result"));
}

TEST(JolvexUnwrap, DataWinsOverResultAndPopFollowsThePayload) {
  JVXServiceAPI api;
  json both = {{"code", 0}, {"data", {{"pop", 1}}}, {"result", {{"pop", 2}}}};
  EXPECT_EQ(api.unwrapRespData(both), (json{{"pop", 1}}));
  ASSERT_TRUE(api.popInfoModel());
  EXPECT_EQ(api.popInfoModel()->pop->intValue(), 1);

  struct Case {
    const char* what;
    json answer;
    bool hasPop;
  } cases[] = {
      {"dict without pop keys gives an empty model", {{"data", {{"uid", 1}}}}, true},
      {"list payload", {{"data", json::array({1, 2})}}, false},
      {"scalar payload", {{"data", 5}}, false},
      {"no payload", {{"code", 0}}, false},
      {"answer not a dict", json::array(), false},
      {"pop buttons not a list", {{"data", {{"buttons", "b"}}}}, false},
  };
  for (const auto& c : cases) {
    api.unwrapRespData(c.answer);
    EXPECT_EQ(api.popInfoModel().has_value(), c.hasPop) << c.what;
  }
  api.unwrapRespData(json{{"data", {{"uid", 1}}}});
  EXPECT_EQ(*api.popInfoModel(), JVXRespPopModel{});
  EXPECT_EQ(api.popInfo(), json::object());
}

TEST_F(JolvexEnvelope, PopWithButtonsArrivesInPopInfo) {
  account.setSampleAnswers(true);
  account.setPop(true);
  auto call = make<JVX_API_USER_PROFILE>();
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess);
  ASSERT_TRUE(call->popInfoModel());
  EXPECT_EQ(call->popInfoModel()->pop->intValue(), 1);
  ASSERT_TRUE(call->popInfoModel()->buttons);
  ASSERT_EQ(call->popInfoModel()->buttons->size(), 2u);
  EXPECT_EQ(*(*call->popInfoModel()->buttons)[1].action, "open");
  EXPECT_EQ(call->popInfo()["pop_title"], "Notice");
  ASSERT_TRUE(call->resp());  // the user info still maps
}

TEST_F(JolvexEnvelope, ServiceCodeFailsWithItsInfoAndStillMaps) {
  account.setCodeForPath("/q5client/user/profile", 101, "signed in elsewhere");
  auto call = make<JVX_API_USER_PROFILE>();
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_EQ(call->lastError().domain, TQAPIServerErrorDomain);
  EXPECT_EQ(call->lastError().code, 101);
  EXPECT_EQ(call->lastError().description, "signed in elsewhere");
}

TEST_F(JolvexEnvelope, DescriptionMasksTheEnvelopeAndSecrets) {
  auto call = make<JVX_API_USER_LOGIN>();
  call->req().username = "ann";
  call->req().password = "hunter2";
  account.addAccount({0, "ann", "", "", "", "hunter2", "", 10, false});
  ASSERT_TRUE(run(call));
  std::string d = call->description();
  EXPECT_NE(d.find("<JVX_API_USER_LOGIN status: Success >"), std::string::npos) << d;
  EXPECT_NE(d.find("-d 'info=***&mobile=mobile'"), std::string::npos) << d;
  EXPECT_NE(d.find("req: "), std::string::npos);
  EXPECT_NE(d.find("resp: "), std::string::npos);
  EXPECT_EQ(d.find("hunter2"), std::string::npos) << d;
  EXPECT_EQ(d.rfind("\n--------------------------"), d.size() - 27);
}

}  // namespace
