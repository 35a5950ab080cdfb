#include <type_traits>

#include "PexaraTestSupport.h"
#include "Tovra/Codec/TQQueryString.h"
#include "Tovra/REST/CurlTransport.h"
#ifdef PEXARA_TEST_WITH_JOLVEX
std::string accountHeartbeatPath();
const void* accountHeartbeatEngine();
nlohmann::json accountHeartbeatRequest();
#endif

namespace {

using nlohmann::json;

using PexaraCalls = PexaraFixture;

TEST_F(PexaraCalls, OutsideAccountTravelsAsBracketedKeys) {
  auto call = std::make_shared<PXA_API_CONNECT_LOGIN>();
  call->req().client_ip = "192.0.2.7";
  call->req().third_account = PXA_THIRD_ACCOUNT_INFO{};
  call->req().third_account->access_token = "at+1";
  call->req().third_account->identity = "id";
  call->req().third_account->provider = "wechat";
  org.setSampleAnswers(true);
  ASSERT_TRUE(run(call));
  auto seen = org.lastRequest("/mapiv1/connect/login");
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->query,
            "client_ip=192.0.2.7&third_account%5Baccess_token%5D=at%2B1&"
            "third_account%5Bidentity%5D=id&third_account%5Bprovider%5D=wechat");
  EXPECT_EQ(seen->params["third_account"],
            (json{{"access_token", "at+1"}, {"identity", "id"}, {"provider", "wechat"}}));
  EXPECT_EQ(seen->query.find('{'), std::string::npos) << "never as JSON text";
  ASSERT_TRUE(call->resp());
  EXPECT_TRUE(call->resp()->token);
}

TEST_F(PexaraCalls, UpdatePhoneSendsTheNewKeys) {
  auto call = std::make_shared<PXA_API_USER_UPDATE_PHONE>();
  static_assert(std::is_same_v<PXA_API_USER_UPDATE_PHONE::ReqType, PXA_PHONE_UPDATE_INFO>);
  call->req().replace_phone = "13900000000";
  call->req().replace_country_code = "852";
  call->req().uid = "41";
  ASSERT_TRUE(run(call));
  auto seen = org.lastRequest("/api/v3/user/update-phone");
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->params,
            (json{{"new_country_code", "852"}, {"new_phone", "13900000000"}, {"uid", "41"}}));
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess);
}

TEST_F(PexaraCalls, HeartbeatWithMappingOffHandsBackTheRawPayload) {
  auto plain = std::make_shared<PXA_API_USER_HEARTBEAT>();
  ASSERT_TRUE(run(plain));
  EXPECT_EQ(plain->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_FALSE(plain->hasResp()) << "no answer class: nothing mapped";

  auto raw = std::make_shared<PXA_API_USER_HEARTBEAT>();
  raw->req().mac = "AA-BB";
  raw->req().uid = 41;
  raw->setAutoSerializingResp(false);
  ASSERT_TRUE(run(raw));
  EXPECT_EQ(raw->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_EQ(raw->rawResp(), standin::GameStandin::samplePayload("/api/user/heartbeat"));
  EXPECT_EQ(org.lastRequest("/api/user/heartbeat")->query, "mac=AA-BB&uid=41");
}

#ifdef PEXARA_TEST_WITH_JOLVEX
TEST_F(PexaraCalls, GameHeartbeatIsNotTheAccountHeartbeat) {
  PXA_API_USER_HEARTBEAT game;
  game.req().uid = 41;
  game.req().mac = "AA";
  EXPECT_EQ(game.literalPath(), "/api/user/heartbeat");
  EXPECT_NE(game.literalPath(), accountHeartbeatPath());
  EXPECT_EQ(&game.engine(), &PXAOrgServiceEngine::sharedEngine());
  EXPECT_NE(static_cast<const void*>(&game.engine()), accountHeartbeatEngine());
  EXPECT_EQ(tq::toDictionary(game.req()), (json{{"mac", "AA"}, {"uid", 41}}));
  EXPECT_TRUE(accountHeartbeatRequest().contains("flow_id")) << "a different request model";
}
#endif

// Fetches a rule file the way the tunnel controller does: a plain GET on the Org domain.
std::optional<tq::HttpResponse> fetch(platform::dispatch::PumpedQueue& main,
                                      const std::string& url) {
  std::optional<tq::HttpResponse> out;
  tq::HttpRequest request;
  request.url = url;
  tq::HttpCallbacks callbacks;
  callbacks.completion = [&](const tq::HttpResponse& r, const TQError& e) {
    out = e ? tq::HttpResponse{} : r;
  };
  auto task = tq::CurlTransport::shared()->start(std::move(request), std::move(callbacks));
  main.runUntil([&] { return out.has_value(); });
  return out;
}

TEST_F(PexaraCalls, StartListCarriesTheCallersValuesAndNamesADownloadableRuleFile) {
  const std::string ruleText =
      R"({"DNS":[{"domain":["game.example"],"server":"192.0.2.53","traffic_id":7}],)"
      R"("vni-array":[{"id":7,"flow-level":2,"upstream":100,"downstream":200,"offset":4}]})";
  std::string md5 = org.putRuleFile("g12.rule", ruleText);
  org.setStartRuleFile("g12.rule");
  org.setStartGroups({{7, {{"198.51.100.1", {7000, 7001}}}, {{"1-2", "198.51.100.9"}}}});

  auto call = std::make_shared<PXA_API_START_LIST>();
  auto& r = call->req();
  r.platform = "IOS";
  r.gid = 12;
  r.mac = "AA-BB-CC";
  r.uid = 41;
  r.token = "tok";
  r.clientip = "192.0.2.7";
  r.version = "2.0.0";
  r.entrance = "198.51.100.1";
  ASSERT_TRUE(run(call));
  ASSERT_EQ(call->status(), TQAPI::TQAPIStatusSuccess) << call->lastError().description;
  auto seen = org.lastRequest("/api/v3/start-list");
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->params, (json{{"clientip", "192.0.2.7"},
                                {"entrance", "198.51.100.1"},
                                {"gid", "12"},
                                {"mac", "AA-BB-CC"},
                                {"platform", "IOS"},
                                {"token", "tok"},
                                {"uid", "41"},
                                {"version", "2.0.0"}}));
  EXPECT_FALSE(seen->params.contains("lang")) << "an unset field is not sent";

  ASSERT_TRUE(call->resp());
  const auto& info = *call->resp();
  EXPECT_EQ(info.fileUrl, "g12.rule");
  EXPECT_EQ(info.fileMd5, md5);
  ASSERT_TRUE(info.config && info.config->vni_array);
  const auto& group = info.config->vni_array->at(0);
  EXPECT_EQ(group.id, tq::Number(7));
  EXPECT_EQ(group.entrance->at(0).port, (std::vector<json>{7000, 7001}));
  EXPECT_EQ(group.exit->at(0).nat, "198.51.100.9");

  auto file = fetch(main.queue(), "http://" + *PXAOrgDomain() + "/gameRule/" + *info.fileUrl);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 200);
  EXPECT_EQ(standin::GameStandin::md5Hex(file->body), *info.fileMd5);
  auto plain = PXACrypto::decryptedDataFromString(file->body);
  ASSERT_TRUE(plain);
  auto rules = tq::fromJSON<PXA_SPEED_START_CACHE_FILE>(*plain);
  ASSERT_TRUE(rules);
  EXPECT_EQ(rules->vni_array->at(0).flow_level, tq::Number(2));
  EXPECT_EQ(rules->DNS->at(0).server, "192.0.2.53");
}

TEST_F(PexaraCalls, GuestRegistrationSignInAndUserInformation) {
  auto reg = std::make_shared<PXA_API_USER_GUEST_REGISTER>();
  reg->req().username = "guest-a";
  reg->req().password = "pw";
  reg->req().mac = "AA";
  ASSERT_TRUE(run(reg));
  ASSERT_TRUE(reg->resp() && reg->resp()->uid);
  const std::string uid = *reg->resp()->uid;

  auto login = std::make_shared<PXA_API_USER_LOGIN>();
  login->req().username = "guest-a";
  login->req().password = "pw";
  login->req().login_type = 1;
  ASSERT_TRUE(run(login));
  ASSERT_EQ(login->status(), TQAPI::TQAPIStatusSuccess);
  ASSERT_TRUE(login->resp());
  EXPECT_EQ(std::to_string(login->resp()->uid->intValue()), uid);
  EXPECT_EQ(login->resp()->token, "tok-" + uid);

  auto info = std::make_shared<PXA_API_USER_USERINFO>();
  info->req().uid = login->resp()->uid;
  ASSERT_TRUE(run(info));
  ASSERT_TRUE(info->resp());
  EXPECT_EQ(info->resp()->username, "guest-a");

  auto wrong = std::make_shared<PXA_API_USER_LOGIN>();
  wrong->req().username = "guest-a";
  wrong->req().password = "nope";
  ASSERT_TRUE(run(wrong));
  EXPECT_EQ(wrong->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_EQ(wrong->lastError().domain, TQAPIServerErrorDomain);
  EXPECT_EQ(wrong->respMessage(), "wrong username or password");
}

TEST_F(PexaraCalls, PathReportCarriesItsInfoAsJsonText) {
  PXA_PATH_INFO p;
  p.delayA = 12;
  p.delayB = 30;
  p.lostA = 0;
  p.lostB = 1;
  p.enterIp = "198.51.100.1";
  p.enterPort = 7000;
  p.outAddr = "1-2";
  p.outIp = "198.51.100.9";
  auto call = std::make_shared<PXA_API_PATH>();
  auto& r = call->req();
  r.uid = 41;
  r.mac = "AA";
  r.flowId = 5001;
  r.gameId = 12;
  r.offset = 4;
  r.flowLevel = 2;
  r.version = "2.0.0";
  r.result = "ok";
  r.info = tq::dumpJSON(json::array({tq::toDictionary(p)}));
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess);
  auto reports = org.pathReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["info"], json::array({tq::toDictionary(p)}));
  EXPECT_EQ(reports[0]["flowId"], "5001");
  EXPECT_EQ(reports[0]["result"], "ok");
  EXPECT_FALSE(reports[0].contains("dest"));
}

TEST_F(PexaraCalls, EndReportAndNoticeList) {
  auto end = std::make_shared<PXA_API_END>();
  end->req().flowId = 5001;
  end->req().type = 1;
  end->req().uid = 41;
  end->req().mac = "AA";
  ASSERT_TRUE(run(end));
  EXPECT_EQ(end->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_EQ(org.lastRequest("/api/end")->query, "flowId=5001&mac=AA&type=1&uid=41");

  auto notices = std::make_shared<PXA_API_MOBILE_NOTICE_NORMAL>();
  ASSERT_TRUE(run(notices));
  EXPECT_EQ(org.lastRequest("/mapiv1/mobile-notice/normal")->query, "");
  ASSERT_TRUE(notices->resp());
  ASSERT_EQ(notices->resp()->size(), 2u);
  EXPECT_EQ(notices->resp()->at(1).title, "New games");
}

}  // namespace
