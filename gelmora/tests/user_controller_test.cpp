// Sign-in routes, registration, first-login check and the stored login of the user controller,
// against the account stand-in.
#include "SessionTestSupport.h"
#include "gelmora/Core/BHAppPackage.h"

namespace {

using UserController = SessionFixture;

struct PasswordCase {
  const char* name;
  std::string username;
  std::string countryCode;
  bool remember;
  int realName;
};

TEST_F(UserController, PasswordSignInRoutes) {
  const PasswordCase cases[] = {
      {"email remembered, verified", "a@example.org", "", true, 1},
      {"phone remembered, verified", "13800000000", "86", true, 1},
      {"not remembered, verified", "a@example.org", "", false, 1},
      {"remembered, awaiting phone binding", "13800000000", "86", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Fresh state per case.
    user = std::make_unique<TsUserController>(*defaults, scheduler);
    defaults->setLastLoginUser(std::string("earlier"));
    defaults->setLastLoginCountryCode(std::string("1"));
    defaults->setThirdLoginToken(std::string("outside-token"));
    defaults->setSessionData(std::nullopt);
    platform::keychain::deletePassword("AutoLoginKey", c.countryCode + c.username);
    posted.clear();
    account.clearRequests();

    account.scriptPayloads("/q5client/user/login",
                           {accountPayload({{"real_name_verification", c.realName}})});
    auto out = run(user->signinWithPhone(c.username, c.countryCode, "pw-123456", c.remember));
    ASSERT_TRUE(out.completed);
    ASSERT_EQ(out.values.size(), 1u);
    EXPECT_EQ(out.values[0].uid->intValue(), 10001);

    // What went out.
    auto sent = seen(account, "/q5client/user/login");
    ASSERT_EQ(sent.size(), 1u);
    const auto& req = *sent[0].info;
    EXPECT_EQ(req["username"], c.username);
    EXPECT_EQ(req["password"], "pw-123456");
    EXPECT_EQ(req["country_code"], c.countryCode);
    EXPECT_EQ(req["system_plat"], "pc");
    EXPECT_EQ(req["mac"], user->mac());
    EXPECT_EQ(req["client_version"], app().version());
    EXPECT_EQ(req["system"], "OS X");
    EXPECT_FALSE(req.contains("token"));
    EXPECT_FALSE(req.contains("sms_code"));

    // What stayed.
    EXPECT_EQ(defaults->thirdLoginToken(), "");
    auto keychain = platform::keychain::password("AutoLoginKey", c.countryCode + c.username);
    if (c.remember) {
      EXPECT_EQ(defaults->lastLoginUser(), c.username);
      EXPECT_EQ(defaults->lastLoginCountryCode(), c.countryCode);
      EXPECT_EQ(keychain, "pw-123456");
    } else {
      EXPECT_EQ(defaults->lastLoginUser(), "earlier");
      EXPECT_EQ(defaults->lastLoginCountryCode(), "1");
      EXPECT_FALSE(keychain);
    }
    EXPECT_TRUE(user->online());
    ASSERT_TRUE(user->session());
    EXPECT_EQ(user->session()->mac, user->mac());
    EXPECT_EQ(user->session()->appVersion, app().version());
    EXPECT_EQ(user->session()->baseDomain, account.host());
    if (c.realName == 1) {
      EXPECT_EQ(user->status(), TsUserStatusNormal);
      EXPECT_EQ(count(TsUserStateChangedNotification), 1u);
      EXPECT_EQ(count(TsUserPhoneBindNotification), 0u);
      EXPECT_TRUE(user->heartBeatRunning());
      EXPECT_TRUE(defaults->sessionData());
      EXPECT_TRUE(waitFor(feedback, "/api/v1/feedback/list", 1));
    } else {
      EXPECT_EQ(user->status(), TsUserStatusNone);
      EXPECT_EQ(count(TsUserStateChangedNotification), 0u);
      EXPECT_EQ(count(TsUserPhoneBindNotification), 1u);
      EXPECT_FALSE(user->heartBeatRunning());
      EXPECT_FALSE(defaults->sessionData());
    }
  }
}

TEST_F(UserController, StatusFollowsTheAccount) {
  struct Case {
    nlohmann::json overrides;
    int64_t status;
  } cases[] = {{{{"account_status", 2}}, TsUserStatusDisabled},
               {{{"expired", 1}}, TsUserStatusExpired},
               {{{"account_status", 2}, {"expired", 1}}, TsUserStatusDisabled},
               {{{"expired", "1"}}, TsUserStatusExpired},
               {{{"expired", nlohmann::json::array()}}, TsUserStatusNormal},
               {nlohmann::json::object(), TsUserStatusNormal}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.overrides.dump());
    user = std::make_unique<TsUserController>(*defaults, scheduler);
    signIn(accountPayload(c.overrides));
    EXPECT_EQ(user->status(), c.status);
  }
}

TEST_F(UserController, FirstLoginAnswerAndRegionMarks) {
  signIn(accountPayload({{"first_login", 1}, {"region", 1}}));
  EXPECT_EQ(count(TsUserRegisterGANotification), 1u);
  EXPECT_EQ(user->session()->fromChina, true);
}

TEST_F(UserController, FailedSignInChangesNothing) {
  account.setCodeForPath("/q5client/user/login", 20001, "wrong user name or password");
  defaults->setThirdLoginToken(std::string("outside-token"));
  auto out = run(user->signinWithPhone("alice", "", "bad", true));
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->code, 20001);
  EXPECT_FALSE(user->online());
  EXPECT_EQ(defaults->thirdLoginToken(), "outside-token");
  EXPECT_TRUE(posted.empty());
}

TEST_F(UserController, SmsRoute) {
  account.scriptPayloads("/q5client/user/sms-login",
                         {accountPayload({{"real_name_verification", 0}})});
  auto out = run(user->signinWithPhone("13800000000", "86", TsSmsCode{"123456"}, true));
  ASSERT_TRUE(out.completed);
  auto sent = seen(account, "/q5client/user/sms-login");
  ASSERT_EQ(sent.size(), 1u);
  const auto& req = *sent[0].info;
  EXPECT_TRUE(req["country_code"].is_number());
  EXPECT_EQ(req["country_code"], 86);
  EXPECT_EQ(req["system_plat"], "mobile");
  EXPECT_EQ(req["verify_code"], "123456");
  EXPECT_EQ(req["phone"], "13800000000");
  EXPECT_EQ(user->loginType(), TsUserLoginTypePhoneSms);
  // No real-name check on this route: online even with real_name_verification 0.
  EXPECT_EQ(user->status(), TsUserStatusNormal);
  EXPECT_EQ(count(TsUserPhoneBindNotification), 0u);
  EXPECT_EQ(defaults->lastLoginUser(), "13800000000");
  EXPECT_EQ(defaults->lastLoginCountryCode(), "86");
  EXPECT_FALSE(platform::keychain::password("AutoLoginKey", "8613800000000"));
}

TEST_F(UserController, SmsCountryCodeReadsLikeAnInteger) {
  struct Case {
    const char* text;
    int64_t number;
  } cases[] = {{"86", 86}, {"+1", 1}, {"", 0}, {"x86", 0}, {"852abc", 852}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    account.clearRequests();
    account.scriptPayloads("/q5client/user/sms-login", {accountPayload()});
    run(user->signinWithPhone("13800000000", c.text, TsSmsCode{"1"}, true));
    auto sent = seen(account, "/q5client/user/sms-login");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ((*sent[0].info)["country_code"], c.number);
  }
}

TEST_F(UserController, PhoneRegistration) {
  struct Case {
    int accountStatus;
    size_t registered;
    size_t stateChanged;
    int64_t status;
  } cases[] = {{0, 1, 0, TsUserStatusNone}, {2, 0, 1, TsUserStatusDisabled}, {1, 0, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.accountStatus);
    user = std::make_unique<TsUserController>(*defaults, scheduler);
    posted.clear();
    account.clearRequests();
    platform::keychain::deletePassword("FirstLoginKey", "13900000000");
    account.scriptPayloads("/api/user/register", {{{"account_status", c.accountStatus}}});
    auto out = run(user->registerWithPhone("13900000000", "86", "pw-123456", "4321"));
    ASSERT_TRUE(out.completed);
    auto sent = seen(account, "/api/user/register");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ((*sent[0].info)["phone"], "13900000000");
    EXPECT_EQ((*sent[0].info)["country_code"], "86");
    EXPECT_EQ((*sent[0].info)["code"], "4321");
    EXPECT_EQ(count(TsUserRegisterSuccessNotification), c.registered);
    EXPECT_EQ(count(TsUserStateChangedNotification), c.stateChanged);
    EXPECT_EQ(user->status(), c.status);
    EXPECT_FALSE(user->session());
    EXPECT_EQ(platform::keychain::password("FirstLoginKey", "13900000000"), "1");
  }
}

TEST_F(UserController, EmailRegistrationKeepsNoSession) {
  signIn();
  account.scriptPayloads("/q5client/user/mail-register-new", {accountPayload()});
  auto out = run(user->registerWithEmail("b@example.org", "pw-654321", "9876"));
  ASSERT_TRUE(out.completed);
  auto sent = seen(account, "/q5client/user/mail-register-new");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ((*sent[0].info)["platform"], "MAC");
  EXPECT_EQ((*sent[0].info)["mail"], "b@example.org");
  EXPECT_EQ(count(TsUserRegisterSuccessNotification), 1u);
  EXPECT_FALSE(user->session());
}

TEST_F(UserController, PasswordResetsAnnounceCompletion) {
  account.scriptPayloads("/api/user/reset-password", {nullptr});
  account.scriptPayloads("/q5client/user/mail-reset-password", {nullptr});
  EXPECT_TRUE(run(user->resetPassWithPhone("13800000000", "86", "pw-new-1", "1111")).completed);
  EXPECT_TRUE(run(user->resetPassWithEmail("a@example.org", "pw-new-2", "2222")).completed);
  EXPECT_EQ(count(TsUserResetPasswordNotification), 2u);
  auto phone = seen(account, "/api/user/reset-password");
  ASSERT_EQ(phone.size(), 1u);
  EXPECT_EQ((*phone[0].info)["password"], "pw-new-1");
  account.setCodeForPath("/api/user/reset-password", 20002, "wrong code");
  EXPECT_TRUE(run(user->resetPassWithPhone("13800000000", "86", "x", "0")).error);
  EXPECT_EQ(count(TsUserResetPasswordNotification), 2u);
}

TEST_F(UserController, FirstLoginVerification) {
  signIn(accountPayload({{"account_status", 2}}));
  ASSERT_EQ(user->status(), TsUserStatusDisabled);
  // The account changes under the session; only a "verified" of 0 recomputes the status.
  user->mutableSession()->userInfo->account_status = 1;
  posted.clear();
  struct Case {
    nlohmann::json answer;
    size_t stateChanged;
  } cases[] = {{{{"verified", 1}}, 0}, {nlohmann::json::object(), 0}, {{{"verified", 0}}, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.dump());
    account.scriptPayloads("/api/user/first-login", {c.answer});
    EXPECT_TRUE(run(user->verifyFirstLoginCode("5555")).completed);
    EXPECT_EQ(count(TsUserStateChangedNotification), c.stateChanged);
  }
  auto sent = seen(account, "/api/user/first-login");
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ((*sent[0].info)["phone"], "13800000000");
  EXPECT_EQ((*sent[0].info)["country_code"], "86");
  EXPECT_EQ(platform::keychain::password("FirstLoginKey", "13800000000"), "1");
}

TEST_F(UserController, SavePasswordNeedsUserCountryAndPassword) {
  struct Case {
    std::optional<std::string> user;
    std::optional<std::string> country;
    std::string password;
    bool stored;
  } cases[] = {{"bob", "44", "pw", true}, {"bob", "", "pw", true},
               {"bob", "44", "", false},  {std::nullopt, "44", "pw", false},
               {"", "44", "pw", false},   {"bob", std::nullopt, "pw", false}};
  for (const auto& c : cases) {
    std::string account = c.country.value_or("") + c.user.value_or("");
    SCOPED_TRACE(account + "/" + c.password);
    platform::keychain::deletePassword("AutoLoginKey", account);
    defaults->setLastLoginUser(c.user);
    defaults->setLastLoginCountryCode(c.country);
    user->savePassword(c.password);
    EXPECT_EQ(platform::keychain::password("AutoLoginKey", account).has_value(), c.stored);
    EXPECT_EQ(user->loadPassword().has_value(), c.stored);
    user->clearPassword();
    EXPECT_FALSE(platform::keychain::password("AutoLoginKey", account));
  }
}

TEST_F(UserController, SilentStatusChangeThenLoudUpdatePostsNothing) {
  signIn();
  posted.clear();
  user->mutableSession()->userInfo->expired = 1;
  user->updateStatus(false);
  EXPECT_EQ(user->status(), TsUserStatusExpired);
  user->updateStatus(true);
  EXPECT_TRUE(posted.empty());
  user->mutableSession()->userInfo->expired = 0;
  user->updateStatus(true);
  EXPECT_EQ(count(TsUserStateChangedNotification), 1u);
}

}  // namespace
