// The older service calls against the stand-in: payloads as sent, the rule-list body, start-up
// fail-over and the sign-in and verification answers.
#include "OlderTestSupport.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Service/Web/TsWebEscape.h"
#include "gelmora/Service/Web/TsWebService.h"

using nlohmann::json;
using Script = standin::OlderService::Script;

namespace {

Script answer(json a) {
  Script s;
  s.answer = std::move(a);
  return s;
}

std::string esc(const std::string& s) { return TsWebEscape::urlEscape(s); }

class OlderWebServiceTest : public OlderServiceTest {
 protected:
  std::string payloadOf(const std::string& path) {
    auto r = service.lastRequest(path);
    EXPECT_TRUE(r.has_value()) << path;
    return r && r->payload ? *r->payload : std::string("<none>");
  }
  std::string machine() {
    return "&mac=" + esc(TsSystemInformation::macAddress()) +
           "&client_version=" + esc(TsSystemInformation::clientVersion()) +
           "&system_plat=pc&system=macOs&os_version=" + esc(TsSystemInformation::osVersion()) +
           "&clint_ip=127.0.0.1";
  }
};

}  // namespace

TEST(OlderEscapeTest, KeepsUrlCharactersAndEscapesTheRest) {
  EXPECT_EQ(TsWebEscape::urlEscape("a b&c=d+e/f?g:h@i~j"), "a%20b&c=d+e/f?g:h@i~j");
  EXPECT_EQ(TsWebEscape::urlEscape("100%\"<>#[]{}|\\^`"),
            "100%25%22%3C%3E%23%5B%5D%7B%7D%7C%5C%5E%60");
  EXPECT_EQ(TsWebEscape::urlEscape("中"), "%E4%B8%AD");
  EXPECT_EQ(TsWebEscape::urlEscape(std::string("\0\n", 2)), "%00%0A");
}

TEST_F(OlderWebServiceTest, EveryCallSendsItsFieldsInOrder) {
  TsParams::updateWithLoginReturnObject({{"data", {{"uid", 77}}}});
  TsParams::setFlowId("f 1");
  TsParams::setDomainList({"h1"});
  service.setAnswer("/q5client/user/login", {{"code", 0}, {"data", {{"uid", 77}}}});
  UserModel user("a b&c+d", "pw 1", "+44");
  TQError error;

  struct Row {
    std::string path;
    std::function<void()> call;
    std::string payload;
  };
  const std::vector<Row> rows = {
      {"/q5client/parameters/startup", [&] { TsWebService::startup(&error); },
       "platform=OSX&client_version=" + esc(TsSystemInformation::clientVersion()) +
           "&language=zh-CN"},
      {"/q5client/user/login", [&] { TsWebService::login(user, &error); },
       "phone=a%20b&c+d&country_code=+44&sms_code=pw%201" + machine() +
           "&sms_code_type=MACOS_LOGIN"},
      {"/q5client/user/login", [&] { TsWebService::autoLogin("t+k/= x", &error); },
       "token=t%2Bk%2F%3D%20x" + machine()},
      {"/q5client/user/login",
       [&] { TsWebService::loginWithVerification("138 0", "86", "12&34", &error); },
       "phone=138%200&country_code=86&sms_code=12&34" + machine() + "&sms_code_type=MACOS_LOGIN"},
      {"/q5client/phone/verify-code", [&] { TsWebService::GetVerificatiuon(user); },
       "phone=a%20b&c+d&type=MACOS_LOGIN&country_code=+44"},
      {"/q5client/phone/verify-code", [&] { TsWebService::Verification("138", "1", &error); },
       "phone=138&type=MACOS_LOGIN&country_code=1"},
      {"/q5client/speed/end", [&] { TsWebService::stopSpeed(&error); },
       "uid=77&mac=" + esc(TsSystemInformation::macAddress()) + "&flow_id=f 1"},
      {"/q5client/user/logout", [&] { TsWebService::logout(&error); },
       "uid=77&mac=" + esc(TsSystemInformation::macAddress()) + "&system=macOs"},
      {"/q5client/user/heartbeat", [&] { TsWebService::heartBeat(&error); },
       "uid=77&mac=" + esc(TsSystemInformation::macAddress()) + "&language=zh-CN"},
      {"/q5client/rule/area-isp-list", [&] { TsWebService::getAreaispDownloadAddress(&error); },
       "<NULL>"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path + " " + row.payload);
    row.call();
    EXPECT_EQ(payloadOf(row.path), row.payload);
    EXPECT_FALSE(service.lastRequest(row.path)->json);
  }

  std::string postfix = TsWebService::RuquestWebPostfix();
  std::string fields = "system_name=MAC-OS&os_version=" + esc(TsSystemInformation::osVersion()) +
                       "&client_version=" + esc(TsSystemInformation::clientVersion()) +
                       "&system_plat=pc&uid=77&mac=" + esc(TsSystemInformation::macAddress()) +
                       "&language=zh-CN&wx_installed=0";
  EXPECT_EQ(postfix, "?logincode=" + esc(fields));
  EXPECT_EQ(TsWebService::getLastError(), "");

  auto delegate = std::make_shared<RecordingDelegate>();
  TsWebService asyn;
  asyn.setTaskProtocol(delegate);
  asyn.AsynGetAreaispDownloadAddress();
  ASSERT_TRUE(delegate->wait());
  EXPECT_FALSE(delegate->failed());
  EXPECT_TRUE(delegate->success().at("data").contains("file"));
}

TEST_F(OlderWebServiceTest, RuleRequestSendsEveryFieldThatHasAValueInOrder) {
  const std::string mac = TQAPIConfig::sharedInstance().userIdentify();
  TQError error;
  auto keysSent = [&] {
    EXPECT_TRUE(TsWebService::getRules(&error)) << error.description;
    auto r = service.lastRequest("/q5client/rule/list");
    EXPECT_TRUE(r && r->json && r->payload);
    auto body = nlohmann::ordered_json::parse(*r->payload);
    std::vector<std::string> keys;
    for (auto it = body.begin(); it != body.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(body["uid"], "31");
    EXPECT_EQ(body["mac"], mac);
    return std::make_pair(keys, body);
  };
  TsParams::updateWithLoginReturnObject({{"data", {{"uid", 31}}}});  // no package yet
  store->set("selectedNetNode", std::string(R"({"areaId":12,"city":"x"})"));
  auto [k0, b0] = keysSent();
  EXPECT_EQ(k0, (std::vector<std::string>{"uid", "mac", "area_id"}));
  EXPECT_TRUE(console.anyContains("没有套餐编号"));

  store->remove("selectedNetNode");
  TsParams::updateWithLoginReturnObject({{"data", {{"uid", 31}, {"package_id", 5}}}});
  auto [k1, b1] = keysSent();
  EXPECT_EQ(k1, (std::vector<std::string>{"uid", "mac"}));

  store->set("package_id5", std::string(R"({"entrances":["198.51.100.1"]})"));
  auto [k2, b2] = keysSent();
  EXPECT_EQ(k2, (std::vector<std::string>{"uid", "mac", "entrances"}));

  store->set("package_id5", std::string(R"({"entrances":["198.51.100.1"],)"
                                        R"("exits":[{"addr":"1-2","nat":"MTI3"}]})"));
  store->set("selectedNetNode", std::string(R"({"areaId":12})"));
  auto [k3, b3] = keysSent();
  EXPECT_EQ(k3, (std::vector<std::string>{"uid", "mac", "entrances", "exits", "area_id"}));
  EXPECT_EQ(b3["exits"][0]["nat"], "MTI3");
  EXPECT_EQ(b3["area_id"], 12);

  // A record that is not JSON counts as none.
  store->set("package_id5", std::string("not json"));
  auto [k4, b4] = keysSent();
  EXPECT_EQ(k4, (std::vector<std::string>{"uid", "mac", "area_id"}));

  // Any code but 0 fails the JSON sender.
  service.setAnswer("/q5client/rule/list", {{"code", 107}, {"info", "again"}});
  EXPECT_FALSE(TsWebService::getRules(&error));
  EXPECT_EQ(error.code, 107);
}

TEST_F(OlderWebServiceTest, StartupTriesEachHostUntilOneAnswers) {
  TsParams::setDomainList({"http://one", "http://two", "http://three"});
  service.pushScript("/q5client/parameters/startup", answer({{"code", -1}, {"info", "first"}}));
  Script dropped;
  dropped.mode = standin::OlderService::Mode::EmptyBody;
  service.pushScript("/q5client/parameters/startup", dropped);
  service.pushScript("/q5client/parameters/startup",
                     answer({{"code", 0}, {"info", "third"}, {"data", json::object()}}));
  TQError error{"x", 1, "stale", std::nullopt};
  auto got = TsWebService::startup(&error);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->at("info"), "third");
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(TsParams::getUseddomain(), "http://three");
  EXPECT_EQ(service.requests("/q5client/parameters/startup").size(), 3u);

  // Every host failing leaves the last error.
  service.setAnswer("/q5client/parameters/startup", {{"code", 1}, {"info", "down"}});
  EXPECT_FALSE(TsWebService::startup(&error));
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(TsParams::getUseddomain(), "http://three");

  // No hosts: nothing sent, no error.
  TsParams::setDomainList({});
  error = TQError{};
  EXPECT_FALSE(TsWebService::startup(&error));
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(service.requests("/q5client/parameters/startup").size(), 6u);
}

TEST_F(OlderWebServiceTest, SignInAndVerificationAnswers) {
  const json reply107 = {
      {"code", 107}, {"info", "code expired"}, {"data", {{"uid", 99}, {"username", "other"}}}};
  const json replyOk = {{"code", 0},
                        {"info", "ok"},
                        {"data", {{"uid", 55}, {"username", "player"}, {"package_id", 3}}}};
  TQError error;
  UserModel user("138", "1234", "86");

  service.setAnswer("/q5client/user/login", reply107);
  EXPECT_EQ(TsWebService::login(user, &error), reply107);
  EXPECT_EQ(TsParams::getUid(), 0);
  EXPECT_TRUE(console.anyContains("登录返回值 107 code expired"));
  EXPECT_EQ(TsWebService::autoLogin("tok", &error), reply107);
  EXPECT_EQ(TsParams::getUid(), 0);
  // The verification sign-in takes whatever came.
  EXPECT_TRUE(TsWebService::loginWithVerification("138", "86", "1234", &error));
  EXPECT_EQ(TsParams::getUid(), 99);

  service.setAnswer("/q5client/user/login", replyOk);
  EXPECT_TRUE(TsWebService::autoLogin("tok", &error));
  EXPECT_EQ(TsParams::getUid(), 55);
  EXPECT_EQ(TsParams::getNickname(), "player");
  EXPECT_EQ(TsParams::getPacketId(), "package_id3");

  // A failing sender hands back its error and changes nothing.
  service.setAnswer("/q5client/user/login", {{"code", 1}, {"info", "bad"}});
  EXPECT_FALSE(TsWebService::login(user, &error));
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(TsParams::getUid(), 55);

  service.setAnswer("/q5client/phone/verify-code", {{"code", 107}, {"info", "too often"}});
  error = TQError{};
  EXPECT_FALSE(TsWebService::Verification("138", "86", &error));
  EXPECT_EQ(error.domain, "");
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.description, "too often");
  EXPECT_EQ(error.recoverySuggestion, "再来一次吧~");

  service.setAnswer("/q5client/phone/verify-code", {{"code", -1}, {"info", "no"}});
  EXPECT_FALSE(TsWebService::Verification("138", "86", &error));
  EXPECT_EQ(error.code, -1);
  EXPECT_TRUE(console.anyContains("验证码发发送失败"));

  service.setAnswer("/q5client/phone/verify-code", {{"code", 0}});
  console.clear();
  EXPECT_TRUE(TsWebService::Verification("138", "86", &error));
  EXPECT_TRUE(console.anyContains("验证码发送成功"));
}
