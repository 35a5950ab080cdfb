#include <string>

#include "JolvexTestSupport.h"

namespace {

using JolvexAccountFlow = JolvexFixture;

TEST_F(JolvexAccountFlow, RegisterSignInProfileHeartbeatLogout) {
  // Phone registration: code by text message, then register with it.
  auto code = make<JVX_API_PHONE_VERIFY_CODE>();
  code->req().phone = "13800000000";
  code->req().country_code = "86";
  code->req().method = "SMS";
  code->req().type = "REGISTER";
  ASSERT_TRUE(run(code));
  ASSERT_EQ(code->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_FALSE(code->hasResp());
  auto sent = account.sentCode("13800000000");
  ASSERT_TRUE(sent);

  auto reg = make<JVX_API_USER_REGISTER>();
  reg->req().phone = "13800000000";
  reg->req().country_code = "86";
  reg->req().code = *sent;
  reg->req().password = "pw1";
  ASSERT_TRUE(run(reg));
  ASSERT_EQ(reg->status(), TQAPI::TQAPIStatusSuccess) << reg->lastError().description;
  ASSERT_TRUE(reg->resp());
  EXPECT_EQ(reg->resp()->account_status->intValue(), 1);

  // Password sign-in.
  auto login = make<JVX_API_USER_LOGIN>();
  login->req().username = "13800000000";
  login->req().password = "pw1";
  login->req().system_plat = "pc";
  ASSERT_TRUE(run(login));
  ASSERT_EQ(login->status(), TQAPI::TQAPIStatusSuccess) << login->lastError().description;
  ASSERT_TRUE(login->resp() && login->resp()->uid && login->resp()->login_token);
  int64_t uid = login->resp()->uid->intValue();
  std::string token = *login->resp()->login_token;

  // Token sign-in with the token just handed out.
  auto byToken = make<JVX_API_USER_LOGIN>();
  byToken->req().token = token;
  ASSERT_TRUE(run(byToken));
  ASSERT_EQ(byToken->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_EQ(byToken->resp()->uid->intValue(), uid);

  // SMS sign-in.
  auto smsCode = make<JVX_API_PHONE_VERIFY_CODE>();
  smsCode->req().phone = "13800000000";
  smsCode->req().method = "VOICE";
  ASSERT_TRUE(run(smsCode));
  auto sms = make<JVX_API_USER_SMS_LOGIN>();
  sms->req().phone = "13800000000";
  sms->req().country_code = 86;
  sms->req().verify_code = *account.sentCode("13800000000");
  sms->req().system_plat = "mobile";
  sms->setSilence(true);
  ASSERT_TRUE(run(sms));
  ASSERT_EQ(sms->status(), TQAPI::TQAPIStatusSuccess) << sms->lastError().description;
  EXPECT_EQ(sms->resp()->uid->intValue(), uid);

  auto profile = make<JVX_API_USER_PROFILE>();
  profile->req().uid = uid;
  profile->req().mac = "MAC";
  ASSERT_TRUE(run(profile));
  ASSERT_EQ(profile->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_EQ(*profile->resp()->phone_number, "13800000000");

  auto heartbeat = make<JVX_API_USER_HEARTBEAT>();
  heartbeat->req().uid = uid;
  heartbeat->req().up_traffic = 1048576;
  heartbeat->req().down_traffic = 1048576;
  ASSERT_TRUE(run(heartbeat));
  ASSERT_EQ(heartbeat->status(), TQAPI::TQAPIStatusSuccess) << heartbeat->lastError().description;
  EXPECT_DOUBLE_EQ(heartbeat->resp()->rest_traffic->doubleValue(), 1022.0);
  EXPECT_TRUE(heartbeat->resp()->entrance);

  auto logout = make<JVX_API_USER_LOGOUT>();
  logout->req().uid = uid;
  ASSERT_TRUE(run(logout));
  ASSERT_EQ(logout->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_EQ(*logout->resp()->feedback, "http://127.0.0.1/feedback/logout");
  EXPECT_FALSE(account.accountByUid(uid)->online);

  // After sign-out the heartbeat is refused and the old token no longer signs in.
  auto late = make<JVX_API_USER_HEARTBEAT>();
  late->req().uid = uid;
  ASSERT_TRUE(run(late));
  EXPECT_EQ(late->lastError().code, 101);
  auto oldToken = make<JVX_API_USER_LOGIN>();
  oldToken->req().token = token;
  ASSERT_TRUE(run(oldToken));
  EXPECT_EQ(oldToken->status(), TQAPI::TQAPIStatusFailed);
}

TEST_F(JolvexAccountFlow, MailRegistrationAndReset) {
  auto code = make<JVX_API_USER_SEND_EMAIL_VERIFY_CODE>();
  code->req().email = "a@example.com";
  code->req().type = "REGISTER";
  ASSERT_TRUE(run(code));
  auto reg = make<JVX_API_USER_MAIL_REGISTER_NEW>();
  reg->req().mail = "a@example.com";
  reg->req().code = *account.sentCode("a@example.com");
  reg->req().password = "old";
  reg->req().platform = "MAC";
  ASSERT_TRUE(run(reg));
  ASSERT_EQ(reg->status(), TQAPI::TQAPIStatusSuccess) << reg->lastError().description;
  EXPECT_EQ(*reg->resp()->email, "a@example.com");

  code->req().type = "RESET_PASSWORD";
  ASSERT_TRUE(run(code));
  auto reset = make<JVX_API_USER_MAIL_RESET_PASSWORD>();
  reset->req().mail = "a@example.com";
  reset->req().code = *account.sentCode("a@example.com");
  reset->req().password = "new";
  ASSERT_TRUE(run(reset));
  ASSERT_EQ(reset->status(), TQAPI::TQAPIStatusSuccess);
  EXPECT_FALSE(reset->hasResp());

  auto login = make<JVX_API_USER_LOGIN>();
  login->req().username = "a@example.com";
  login->req().password = "new";
  ASSERT_TRUE(run(login));
  EXPECT_EQ(login->status(), TQAPI::TQAPIStatusSuccess);
}

TEST_F(JolvexAccountFlow, WrongCredentialsAndSwitchedCodesFail) {
  account.addAccount({0, "bob", "", "", "", "right", "", 5, false});
  struct Case {
    const char* user;
    const char* password;
  } cases[] = {{"bob", "wrong"}, {"nobody", "right"}, {"bob", ""}};
  for (const auto& c : cases) {
    auto login = make<JVX_API_USER_LOGIN>();
    login->req().username = c.user;
    login->req().password = c.password;
    ASSERT_TRUE(run(login));
    EXPECT_EQ(login->status(), TQAPI::TQAPIStatusFailed) << c.user;
    EXPECT_EQ(login->lastError().domain, TQAPIServerErrorDomain);
    EXPECT_EQ(login->lastError().code, 20001);
    EXPECT_EQ(login->lastError().description, "wrong user name or password");
    EXPECT_FALSE(login->resp());
  }
  for (int code : {101, 102}) {
    account.setCodeForPath("/q5client/user/login", code, "command");
    auto login = make<JVX_API_USER_LOGIN>();
    login->req().username = "bob";
    login->req().password = "right";
    ASSERT_TRUE(run(login));
    EXPECT_EQ(login->lastError().code, code);
    EXPECT_EQ(login->lastError().domain, TQAPIServerErrorDomain);
  }
}

}  // namespace
