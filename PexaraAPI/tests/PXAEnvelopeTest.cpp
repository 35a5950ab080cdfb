#include <functional>
#include <string>

#include "PexaraTestSupport.h"
#include "Tovra/Codec/PercentEscape.h"
#include "Tovra/Codec/TQQueryString.h"

namespace {

using nlohmann::json;
using standin::GameStandin;

using PexaraEnvelope = PexaraFixture;

constexpr const char* kUserInfoPath = "/mapiv1/user/userinfo";

TEST_F(PexaraEnvelope, RequestIsTheScrambledFormInOneInfoField) {
  auto call = std::make_shared<PXA_API_START_LIST>();
  call->req().platform = "IOS";
  call->req().gid = 12;
  call->req().token = "a+b&c=d";
  call->req().version = "2.0.0";
  ASSERT_TRUE(run(call));
  auto seen = org.lastRequest("/api/v3/start-list");
  ASSERT_TRUE(seen);
  // One field, no "mobile" beside it, the scrambled text percent-escaped.
  EXPECT_EQ(seen->body, "info=" + tq::percentEscape(seen->info));
  EXPECT_EQ(seen->query, tq::queryString(tq::toDictionary(call->req())));
  EXPECT_EQ(seen->query, "gid=12&platform=IOS&token=a%2Bb%26c%3Dd&version=2.0.0");
  EXPECT_EQ(seen->params,
            (json{{"gid", "12"}, {"platform", "IOS"}, {"token", "a+b&c=d"}, {"version", "2.0.0"}}));
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess);
}

TEST_F(PexaraEnvelope, LogTextsHideTheReversibleInfo) {
  auto call = std::make_shared<PXA_API_USER_LOGIN>();
  call->req().username = "ann";
  call->req().password = "hunter2";
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->encodedPostDataString(), "info=***");
  std::string text = call->description();
  EXPECT_NE(text.find("<PXA_API_USER_LOGIN status: "), std::string::npos) << text;
  EXPECT_NE(text.find("info=***"), std::string::npos) << text;
  EXPECT_EQ(text.find("hunter2"), std::string::npos) << text;
  EXPECT_TRUE(call->popInfo().is_null());
}

// What one answer of the user-information call turns into.
struct AnswerCase {
  const char* name;
  std::function<void(GameStandin&)> setup;
  int64_t status;
  const char* domain;
  long long code;
  std::string descriptionPrefix;
  std::optional<std::string> respMessage;
  std::optional<long long> uid;  // resp's uid, when a model is expected
};

class PexaraAnswers : public PexaraFixture, public testing::WithParamInterface<AnswerCase> {};

TEST_P(PexaraAnswers, Handled) {
  const auto& c = GetParam();
  org.addUser("ann", "pw", 41, "tok");
  c.setup(org);
  auto call = std::make_shared<PXA_API_USER_USERINFO>();
  call->req().uid = 41;
  bool callbackRan = false;
  call->setWhenSucceed([&](TQAPI&) { callbackRan = true; });
  call->setWhenFailed([&](TQAPI&) { callbackRan = true; });
  ASSERT_TRUE(run(call));
  EXPECT_TRUE(callbackRan);
  EXPECT_EQ(call->status(), c.status);
  if (c.status == TQAPI::TQAPIStatusFailed) {
    EXPECT_EQ(call->lastError().domain, c.domain);
    EXPECT_EQ(call->lastError().code, c.code);
    EXPECT_EQ(call->lastError().description.rfind(c.descriptionPrefix, 0), 0u)
        << call->lastError().description;
  } else {
    EXPECT_TRUE(call->lastErrors().empty());
  }
  EXPECT_EQ(call->respMessage(), c.respMessage);
  if (c.uid) {
    ASSERT_TRUE(call->resp());
    EXPECT_EQ(call->resp()->uid, tq::Number(*c.uid));
  } else if (c.status == TQAPI::TQAPIStatusSuccess) {
    EXPECT_FALSE(call->resp());
  }
}

auto answer(json a) {
  return [a](GameStandin& s) { s.setAnswer(kUserInfoPath, a); };
}
auto plaintext(std::string t) {
  return [t](GameStandin& s) { s.setPlaintext(kUserInfoPath, t); };
}
auto garbled(int status, std::string body) {
  return [status, body](GameStandin& s) { s.setGarbled(kUserInfoPath, status, body); };
}

constexpr int64_t kOk = TQAPI::TQAPIStatusSuccess;
constexpr int64_t kFail = TQAPI::TQAPIStatusFailed;
const char* kLocal = TQAPILocalErrorDomain;
const char* kServer = TQAPIServerErrorDomain;

INSTANTIATE_TEST_SUITE_P(
    Cases, PexaraAnswers,
    testing::Values(
        AnswerCase{"StoreAnswer", [](GameStandin&) {}, kOk, "", 0, "", "ok", 41},
        AnswerCase{"ResultBeatsData",
                   [](GameStandin& s) { s.setPayloadKey(GameStandin::PayloadKey::Both); }, kOk, "",
                   0, "", "ok", 41},
        AnswerCase{"DataWhenNoResult",
                   [](GameStandin& s) { s.setPayloadKey(GameStandin::PayloadKey::Data); }, kOk, "",
                   0, "", "ok", 41},
        AnswerCase{"BothExplicit",
                   answer({{"code", 0}, {"result", {{"uid", 1}}}, {"data", {{"uid", 2}}}}), kOk, "",
                   0, "", std::nullopt, 1},
        AnswerCase{"ServiceCodeKeepsMessage",
                   [](GameStandin& s) { s.setCode(kUserInfoPath, 7, "denied"); }, kFail, kServer, 7,
                   "denied", "denied", 41},
        AnswerCase{"InfoBeatsMsgForTheErrorText",
                   answer({{"code", 3}, {"info", "from info"}, {"msg", "from msg"}}), kFail,
                   kServer, 3, "from info", "from msg", std::nullopt},
        AnswerCase{"CodeAsText", answer({{"code", "12"}, {"msg", "m"}}), kFail, kServer, 12, "m",
                   "m", std::nullopt},
        AnswerCase{"NumberMsgBecomesItsText", answer({{"code", 0}, {"msg", 5}}), kOk, "", 0, "",
                   "5", std::nullopt},
        AnswerCase{"ObjectMsgBecomesJsonText", answer({{"code", 0}, {"msg", {{"a", 1}}}}), kOk, "",
                   0, "", R"({"a":1})", std::nullopt},
        AnswerCase{"NoCodeNoPayload", answer(json::object()), kOk, "", 0, "", std::nullopt,
                   std::nullopt},
        AnswerCase{"ResultOfWrongKindMapsNothing", answer({{"code", 0}, {"result", "text"}}), kOk,
                   "", 0, "", std::nullopt, std::nullopt},
        AnswerCase{"DataOfWrongKindMapsNothing", answer({{"code", 0}, {"data", 17}}), kOk, "", 0,
                   "", std::nullopt, std::nullopt},
        AnswerCase{"ListOfScalarsFailsMapping", answer({{"code", 0}, {"result", {1, 2}}}), kFail,
                   TQAPIModelErrorDomain, TQAPIModelErrorWrongKind, "", std::nullopt, std::nullopt},
        AnswerCase{"MappingFailureKeepsMessage",
                   [](GameStandin& s) {
                     s.setAnswer(kUserInfoPath, {{"code", 0}, {"msg", "m"}, {"result", {1}}});
                   },
                   kFail, TQAPIModelErrorDomain, TQAPIModelErrorWrongKind, "", "m", std::nullopt},
        AnswerCase{"TopLevelListPassesUnmapped", plaintext("[1,2]"), kOk, "", 0, "", std::nullopt,
                   std::nullopt},
        AnswerCase{"NotJsonPlaintext", plaintext("hello"), kFail, kLocal, 0,
                   "Answer is not valid JSON", std::nullopt, std::nullopt},
        AnswerCase{"JsonScalar", plaintext("42"), kFail, kLocal, 0, "Answer is not valid JSON",
                   std::nullopt, std::nullopt},
        AnswerCase{"JsonText", plaintext("\"text\""), kFail, kLocal, 0, "Answer is not valid JSON",
                   std::nullopt, std::nullopt},
        AnswerCase{"ScrambledBlank", plaintext(" "), kFail, kLocal, 200, "200: ", std::nullopt,
                   std::nullopt},
        AnswerCase{"ScrambledEmpty", plaintext(""), kFail, kLocal, 200, "200: ", std::nullopt,
                   std::nullopt},
        AnswerCase{"Empty200", garbled(200, ""), kFail, kLocal, 200, "200: ", std::nullopt,
                   std::nullopt},
        AnswerCase{"Html500", garbled(500, "<html>oops</html>"), kFail, kLocal, 500,
                   "500: ", std::nullopt, std::nullopt},
        AnswerCase{"Html502", garbled(502, "<html>bad gateway</html>"), kFail, kLocal, 502,
                   "502: ", std::nullopt, std::nullopt},
        AnswerCase{"MarkersWithBadBase64", garbled(200, "PhRmROk0t!Y"), kFail, kLocal, 200,
                   "200: ", std::nullopt, std::nullopt},
        AnswerCase{"UnknownMarker", garbled(404, "zzzzzz"), kFail, kLocal, 404,
                   "404: ", std::nullopt, std::nullopt}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST_F(PexaraEnvelope, ScrambledAnswerOfAnErrorStatusIsStillRead) {
  // The status is not examined: a scrambled JSON body on a 500 is an answer like any other.
  org.setGarbled(kUserInfoPath, 500,
                 PXACrypto::encryptedStringOfString(R"({"code":0,"msg":"m","result":{"uid":3}})"));
  auto call = std::make_shared<PXA_API_USER_USERINFO>();
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess);
  ASSERT_TRUE(call->resp());
  EXPECT_EQ(call->resp()->uid, tq::Number(3));
}

TEST_F(PexaraEnvelope, StatusTextsUseTheStandardPhrases) {
  EXPECT_EQ(PXAResponseSerializer::statusText(500), "500: Internal Server Error");
  EXPECT_EQ(PXAResponseSerializer::statusText(404), "404: Not Found");
  EXPECT_EQ(PXAResponseSerializer::statusText(599), "599: Server Error");
  // Without a status there is nothing to quote.
  tq::HttpResponse none;
  none.body = "garbage";
  json out;
  TQError e = PXAResponseSerializer().decode(none, out);
  EXPECT_EQ(e.code, 0);
  EXPECT_EQ(e.description, "解密失败");
}

TEST_F(PexaraEnvelope, MissingDomainFailsWithoutSending) {
  struct Case {
    const char* name;
    std::function<void()> unset;
    std::shared_ptr<TQAPI> call;
  };
  const Case cases[] = {
      {"no Cn domain", [] { set_PXACnDomain(std::nullopt); },
       std::make_shared<PXA_CN_API_MOBILE_PRODUCT>()},
      {"empty Cn domain", [] { set_PXACnDomain(""); },
       std::make_shared<PXA_CN_API_USER_CHECKCODE>()},
      {"no Org domain", [] { set_PXAOrgDomain(std::nullopt); },
       std::make_shared<PXA_API_USER_HEARTBEAT>()},
  };
  for (const auto& c : cases) {
    c.unset();
    ASSERT_TRUE(run(c.call)) << c.name;
    EXPECT_EQ(c.call->status(), TQAPI::TQAPIStatusFailed) << c.name;
    EXPECT_EQ(c.call->lastError().domain, TQAPILocalErrorDomain) << c.name;
    EXPECT_EQ(c.call->lastError().code, 0) << c.name;
    EXPECT_EQ(c.call->lastError().description, "Can't get URL") << c.name;
  }
  EXPECT_TRUE(org.requests().empty());
  EXPECT_TRUE(cn.requests().empty());
}

TEST_F(PexaraEnvelope, ResendClearsTheEarlierMessage) {
  auto call = std::make_shared<PXA_API_USER_USERINFO>();
  org.setCode(kUserInfoPath, 9, "first");
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->respMessage(), "first");
  org.setAnswer(kUserInfoPath, json{{"code", 0}});
  ASSERT_TRUE(run(call));
  EXPECT_EQ(call->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_EQ(call->respMessage(), std::nullopt);
}

}  // namespace
