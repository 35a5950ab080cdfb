#include <functional>
#include <string>

#include "JolvexTestSupport.h"

namespace {

using nlohmann::json;
using JolvexCalls = JolvexFixture;

// One row per wire key whose name or JSON type differs between calls, and per enumerated value:
// the request as the stand-in deciphered it must hold that key with that value and JSON type.
TEST_F(JolvexCalls, RequestKeysAndTypesAsTheServiceDecodesThem) {
  struct Row {
    const char* what;
    std::function<std::shared_ptr<TQRestAPI>()> make;
    const char* key;
    json value;
  };
  Row rows[] = {
      {"sms-login country_code is a number",
       [] {
         auto c = std::make_shared<JVX_API_USER_SMS_LOGIN>();
         c->req().country_code = 86;
         return c;
       },
       "country_code", 86},
      {"login country_code is text",
       [] {
         auto c = std::make_shared<JVX_API_USER_LOGIN>();
         c->req().country_code = "86";
         return c;
       },
       "country_code", "86"},
      {"phone register sends promot_code",
       [] {
         auto c = std::make_shared<JVX_API_USER_REGISTER>();
         c->req().promot_code = "P";
         return c;
       },
       "promot_code", "P"},
      {"mail register sends promote_code",
       [] {
         auto c = std::make_shared<JVX_API_USER_MAIL_REGISTER>();
         c->req().promote_code = "P";
         return c;
       },
       "promote_code", "P"},
      {"mail register new sends promote_code",
       [] {
         auto c = std::make_shared<JVX_API_USER_MAIL_REGISTER_NEW>();
         c->req().promote_code = "P";
         return c;
       },
       "promote_code", "P"},
      {"union login sends promote_code",
       [] {
         auto c = std::make_shared<JVX_API_USER_NEW_UNION_LOGIN>();
         c->req().promote_code = "P";
         return c;
       },
       "promote_code", "P"},
      {"mail register new platform MAC",
       [] {
         auto c = std::make_shared<JVX_API_USER_MAIL_REGISTER_NEW>();
         c->req().platform = "MAC";
         return c;
       },
       "platform", "MAC"},
      {"send-email-verify-code uses email",
       [] {
         auto c = std::make_shared<JVX_API_USER_SEND_EMAIL_VERIFY_CODE>();
         c->req().email = "a@b.c";
         return c;
       },
       "email", "a@b.c"},
      {"bind-mail uses mail",
       [] {
         auto c = std::make_shared<JVX_API_USER_BIND_MAIL>();
         c->req().mail = "a@b.c";
         return c;
       },
       "mail", "a@b.c"},
      {"email code type REGISTER",
       [] {
         auto c = std::make_shared<JVX_API_USER_SEND_EMAIL_VERIFY_CODE>();
         c->req().type = "REGISTER";
         return c;
       },
       "type", "REGISTER"},
      {"email code type RESET_PASSWORD",
       [] {
         auto c = std::make_shared<JVX_API_USER_SEND_EMAIL_VERIFY_CODE>();
         c->req().type = "RESET_PASSWORD";
         return c;
       },
       "type", "RESET_PASSWORD"},
      {"email code type BIND_EMAIL",
       [] {
         auto c = std::make_shared<JVX_API_USER_SEND_EMAIL_VERIFY_CODE>();
         c->req().type = "BIND_EMAIL";
         return c;
       },
       "type", "BIND_EMAIL"},
      {"phone code method SMS",
       [] {
         auto c = std::make_shared<JVX_API_PHONE_VERIFY_CODE>();
         c->req().method = "SMS";
         return c;
       },
       "method", "SMS"},
      {"phone code method VOICE",
       [] {
         auto c = std::make_shared<JVX_API_PHONE_VERIFY_CODE>();
         c->req().method = "VOICE";
         return c;
       },
       "method", "VOICE"},
      {"phone code country_code is text",
       [] {
         auto c = std::make_shared<JVX_API_PHONE_VERIFY_CODE>();
         c->req().country_code = "86";
         return c;
       },
       "country_code", "86"},
      {"password sign-in system_plat pc",
       [] {
         auto c = std::make_shared<JVX_API_USER_LOGIN>();
         c->req().system_plat = "pc";
         return c;
       },
       "system_plat", "pc"},
      {"sms sign-in system_plat mobile",
       [] {
         auto c = std::make_shared<JVX_API_USER_SMS_LOGIN>();
         c->req().system_plat = "mobile";
         return c;
       },
       "system_plat", "mobile"},
      {"uid is a number in account requests",
       [] {
         auto c = std::make_shared<JVX_API_USER_PROFILE>();
         c->req().uid = 7;
         return c;
       },
       "uid", 7},
      {"uid is a number in shop requests",
       [] {
         auto c = std::make_shared<JVX_API_IAP_CREATE_ORDER>();
         c->req().uid = 7;
         return c;
       },
       "uid", 7},
      {"package_id is a number in requests",
       [] {
         auto c = std::make_shared<JVX_API_PACKAGE_PRIVILEGE>();
         c->req().package_id = 3;
         return c;
       },
       "package_id", 3},
      {"feedback uid is decimal text",
       [] {
         auto c = std::make_shared<JVX_API_FEEDBACK_LIST>();
         c->req().uid = "7";
         return c;
       },
       "uid", "7"},
      {"feedback pid oxla and platform mac",
       [] {
         auto c = std::make_shared<JVX_API_FEEDBACK_LIST>();
         c->req().pid = "oxla";
         c->req().platform = "mac";
         return c;
       },
       "pid", "oxla"},
      {"link-sns third_account is a nested object",
       [] {
         auto c = std::make_shared<JVX_API_USER_LINK_SNS>();
         c->req().third_account = JVX_THIRD_ACCOUNT_INFO{};
         c->req().third_account->provider = "qq";
         c->req().third_account->identity = "id";
         return c;
       },
       "third_account", json{{"identity", "id"}, {"provider", "qq"}}},
      {"unbind-sns third_account_provider",
       [] {
         auto c = std::make_shared<JVX_API_USER_UNBIND_SNS>();
         c->req().third_account_provider = "qq";
         return c;
       },
       "third_account_provider", "qq"},
      {"rule/list exits are objects, entrances plain values",
       [] {
         auto c = std::make_shared<JVX_API_RULE_LIST>();
         c->req().exits = std::vector<JVX_EXIT>{JVX_EXIT{}};
         c->req().exits->at(0).addr = "1-2";
         return c;
       },
       "exits", json::array({{{"addr", "1-2"}}})},
      {"path batch report: two paths with only their set fields",
       [] {
         auto c = std::make_shared<JVX_API_PATH_BATCH_REPORT>();
         JVX_PATH_REPORT a, b;
         a.delay_a = 10;
         a.entrance_ip = "192.0.2.1";
         b.lost_c = 2;
         c->req().paths = std::vector<JVX_PATH_REPORT>{a, b};
         return c;
       },
       "paths", json::array({{{"delay_a", 10}, {"entrance_ip", "192.0.2.1"}}, {{"lost_c", 2}}})},
      {"speed/end sends the shared traffic report",
       [] {
         auto c = std::make_shared<JVX_API_SPEED_END>();
         c->req().flow_id = 5;
         return c;
       },
       "flow_id", 5},
  };
  for (const auto& r : rows) {
    account.clearRequests();
    feedback.clearRequests();
    auto call = r.make();
    ASSERT_TRUE(run(call)) << r.what;
    auto seen = account.lastRequest() ? account.lastRequest() : feedback.lastRequest();
    ASSERT_TRUE(seen && seen->info) << r.what;
    ASSERT_TRUE(seen->info->contains(r.key)) << r.what << ": " << seen->infoText;
    const json& v = (*seen->info)[r.key];
    EXPECT_EQ(v, r.value) << r.what;
    EXPECT_EQ(v.type_name(), std::string(r.value.type_name())) << r.what;
  }
}

TEST_F(JolvexCalls, ReceiptUploadWithoutOrderSendsOnlyUidAndReceipt) {
  auto call = make<JVX_API_IAP_FINISH_PAYMENT>();
  call->req().uid = 7;
  call->req().receipt = "cmVjZWlwdA==";
  ASSERT_TRUE(run(call));
  EXPECT_EQ(*account.lastRequest()->info, (json{{"receipt", "cmVjZWlwdA=="}, {"uid", 7}}));
}

TEST_F(JolvexCalls, AnswersMapIntoTheirModels) {
  account.setSampleAnswers(true);
  feedback.setSampleAnswers(true);

  auto hb = make<JVX_API_USER_HEARTBEAT>();
  ASSERT_TRUE(run(hb));
  ASSERT_TRUE(hb->resp() && hb->resp()->entrance);
  EXPECT_EQ(*(*hb->resp()->entrance)[0].ip, "ip-text");
  EXPECT_EQ((*hb->resp()->entrance)[0].ports->size(), 2u);

  auto linked = make<JVX_API_USER_LINKED_SNS>();
  ASSERT_TRUE(run(linked));
  ASSERT_TRUE(linked->resp());
  EXPECT_EQ(linked->resp()->linked_sns->qq->intValue(), 1);
  EXPECT_EQ(*linked->resp()->linked_name->country_code, "country_code-text");

  auto privilege = make<JVX_API_PACKAGE_PRIVILEGE>();
  ASSERT_TRUE(run(privilege));
  ASSERT_TRUE(privilege->resp() && privilege->resp()->images);
  EXPECT_EQ(*(*privilege->resp()->images)[0].image, "image-text");

  auto ids = make<JVX_API_IAP_GET_PRODUCT_IDENTIFIER_LIST>();
  ASSERT_TRUE(run(ids));
  EXPECT_EQ(ids->resp()->product_identifiers->size(), 1u);

  auto groups = make<JVX_API_RULE_GET_EXIT_SET>();
  ASSERT_TRUE(run(groups));
  EXPECT_EQ(*(*groups->resp()->list)[0].lock, "lock-text");
  EXPECT_EQ((*groups->resp()->group)[0].country_id->intValue(), 1);
}

TEST(JolvexCallsMapping, MissingAnswerFieldsStayEmpty) {
  // Payloads missing keys, mapped the way the engine maps them.
  auto call = std::make_shared<JVX_API_FEEDBACK_LIST>();
  TQError err;
  ASSERT_TRUE(call->mapResp(json{{"login", "http://l"}, {"pay", "http://p"}}, &err));
  ASSERT_TRUE(call->resp());
  EXPECT_EQ(*call->resp()->login, "http://l");
  EXPECT_FALSE(call->resp()->end);
  EXPECT_FALSE(call->resp()->logout);

  auto privilege = std::make_shared<JVX_API_PACKAGE_PRIVILEGE>();
  ASSERT_TRUE(privilege->mapResp(json{{"flow_size", "1G"}}, &err));
  EXPECT_FALSE(privilege->resp()->images);
}

TEST_F(JolvexCalls, CallsWithoutAnswerClassSucceedWithEmptySlot) {
  account.setSampleAnswers(true);
  auto unbind = make<JVX_API_USER_UNBIND_PHONE>();
  auto transfer = make<JVX_API_PACKAGE_TRANSFER>();
  auto report = make<JVX_API_PATH_REPORT>();
  for (std::shared_ptr<TQRestAPI> c :
       std::vector<std::shared_ptr<TQRestAPI>>{unbind, transfer, report}) {
    ASSERT_TRUE(run(c));
    EXPECT_EQ(c->status(), TQAPI::TQAPIStatusSuccess) << c->className();
    EXPECT_FALSE(c->hasResp()) << c->className();
    EXPECT_FALSE(c->hasRespClass()) << c->className();
  }
}

TEST_F(JolvexCalls, RuleListAnswerIsSettableAndWrongKindsFail) {
  account.setRuleList(json{{"flow_id", 9}, {"exists", {{{"addr", "1-2"}}}}});
  auto ok = make<JVX_API_RULE_LIST>();
  ASSERT_TRUE(run(ok));
  ASSERT_EQ(ok->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_EQ(ok->resp()->flow_id->intValue(), 9);
  EXPECT_EQ(*(*ok->resp()->exists)[0].addr, "1-2");

  account.setRuleList(json{{"entrance", "x"}});
  auto bad = make<JVX_API_RULE_LIST>();
  ASSERT_TRUE(run(bad));
  EXPECT_EQ(bad->status(), TQAPI::TQAPIStatusFailed);
  EXPECT_EQ(bad->lastError().domain, TQAPIModelErrorDomain);

  account.setStartupDomains(json::array({"a.example", "b.example"}));
  auto startup = make<JVX_API_PARAMETERS_STARTUP>();
  ASSERT_TRUE(run(startup));
  EXPECT_EQ(startup->resp()->domain_list->size(), 2u);
}

}  // namespace
