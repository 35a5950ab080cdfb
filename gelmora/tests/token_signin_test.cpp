// Sign-in with the stored token at start-up: which failures end the stored session.
#include "SessionTestSupport.h"

namespace {

using TokenSignin = SessionFixture;

// Stores a signed-in session with a token, as an earlier run left it.
void storeSession(AppUserDefaults& defaults, const std::string& token) {
  auto session = GVTsSession::initWithUserInfo(
      tq::fromDictionary<JVX_USER_INFO>(accountPayload({{"login_token", token}})));
  defaults.setSessionData(tq::toJSON(*session));
}

TEST_F(TokenSignin, ServiceRefusalSignsOut) {
  storeSession(*defaults, "tok-old");
  defaults->setThirdLoginToken(std::string("outside"));
  defaults->setPayFeedbackUrl(std::string("http://fb.example/pay"));
  defaults->setEndBoostFeedbackUrl(std::string("http://fb.example/end"));
  defaults->setLoginFeedbackUrl(std::string("http://fb.example/login"));
  account.setCodeForPath("/q5client/user/login", 1002, "login expired");
  user->trySignin();
  EXPECT_EQ(user->loginType(), TsUserLoginTypeToken);
  ASSERT_TRUE(main.queue().runUntil([&] { return !user->online(); }));
  auto sent = seen(account, "/q5client/user/login");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ((*sent[0].info)["token"], "tok-old");
  EXPECT_FALSE(sent[0].info->contains("username"));
  EXPECT_FALSE(store->contains("sessionData"));
  EXPECT_EQ(defaults->thirdLoginToken(), "");
  EXPECT_EQ(defaults->payFeedbackUrl(), "");
  EXPECT_EQ(defaults->endBoostFeedbackUrl(), "");
  EXPECT_EQ(store->textValue("loginFeedbackUrl"), "http://fb.example/login");
  EXPECT_EQ(user->status(), TsUserStatusNone);
  EXPECT_EQ(count(TsUserStateChangedNotification), 0u);
}

TEST_F(TokenSignin, UnreachableServiceKeepsTheStoredSession) {
  storeSession(*defaults, "tok-old");
  account.stop();  // the client's domain now points at a closed port
  user->trySignin();
  ASSERT_TRUE(user->online());
  // The failure arrives on the main queue; the session must survive it.
  main.queue().runUntil([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_TRUE(user->online());
  auto stored = TsUserController::sessionFromStoredData(defaults->sessionData().value_or(""));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->userInfo->login_token, "tok-old");
}

TEST_F(TokenSignin, GarbledAnswerKeepsTheStoredSession) {
  storeSession(*defaults, "tok-old");
  account.setBodyMode(standin::account::BodyMode::Html502);
  user->trySignin();
  main.queue().runUntil([&] { return !seen(account, "/q5client/user/login").empty(); });
  settle();
  EXPECT_TRUE(user->online());
  EXPECT_TRUE(defaults->sessionData());
}

TEST_F(TokenSignin, TokenAcceptedGoesOnline) {
  storeSession(*defaults, "tok-old");
  account.scriptPayloads("/q5client/user/login", {accountPayload({{"login_token", "tok-new"}})});
  user->trySignin();
  ASSERT_TRUE(main.queue().runUntil([&] { return user->status() == TsUserStatusNormal; }));
  EXPECT_EQ(count(TsUserStateChangedNotification), 1u);
  EXPECT_TRUE(user->heartBeatRunning());
  // No user name on this route: the remembered login stays untouched.
  EXPECT_FALSE(defaults->lastLoginUser());
  EXPECT_FALSE(defaults->thirdLoginToken());
}

TEST_F(TokenSignin, StoredSessionWithoutTokenSendsNothing) {
  storeSession(*defaults, "");
  user->trySignin();
  settle();
  EXPECT_TRUE(account.requests().empty());
  EXPECT_TRUE(user->online());
  EXPECT_EQ(user->status(), TsUserStatusNone);
  EXPECT_TRUE(posted.empty());
}

}  // namespace
