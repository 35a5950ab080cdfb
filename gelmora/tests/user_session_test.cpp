// Profile refresh, heartbeat (virtual time), sign-out, session persistence, feedback list and the
// login code of the user controller, against the account and feedback stand-ins.
#include <algorithm>
#include <chrono>

#include "PexaraAPI/PXACrypto.h"
#include "SessionTestSupport.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/General/Helper/TsSystemInformation.h"

namespace {

using std::chrono::seconds;
using UserSession = SessionFixture;

constexpr const char* kHeartbeat = "/q5client/user/heartbeat";

TEST_F(UserSession, HeartbeatEvery120SecondsWhileOnline) {
  signIn();
  account.scriptPayloads(kHeartbeat, {{{"rest_traffic", 0}}});
  posted.clear();
  scheduler->advance(seconds(119));
  settle();
  EXPECT_TRUE(seen(account, kHeartbeat).empty());
  scheduler->advance(seconds(1));
  ASSERT_TRUE(waitFor(account, kHeartbeat, 1));
  auto sent = seen(account, kHeartbeat);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ((*sent[0].info)["mac"], user->mac());
  EXPECT_EQ((*sent[0].info)["uid"], 10001);
  EXPECT_FALSE(sent[0].info->contains("up_traffic"));
  // The answer's traffic replaces the account's, silently and unsaved.
  EXPECT_EQ(user->session()->userInfo->rest_traffic->intValue(), 0);
  EXPECT_TRUE(posted.empty());
  auto stored = TsUserController::sessionFromStoredData(*defaults->sessionData());
  EXPECT_EQ(stored->userInfo->rest_traffic->intValue(), 500);

  scheduler->advance(seconds(120));
  EXPECT_TRUE(waitFor(account, kHeartbeat, 2));
}

TEST_F(UserSession, RestartingTheHeartbeatKeepsOneTimer) {
  signIn();
  user->startHeartBeat();
  user->startHeartBeat();
  scheduler->advance(seconds(120));
  ASSERT_TRUE(waitFor(account, kHeartbeat, 1));
  EXPECT_EQ(seen(account, kHeartbeat).size(), 1u);
  user->stopHeartBeat();
  scheduler->advance(seconds(240));
  settle();
  EXPECT_EQ(seen(account, kHeartbeat).size(), 1u);
}

TEST_F(UserSession, HeartbeatEndsAtTheFirstTickWithoutSession) {
  signIn();
  account.scriptPayloads("/api/user/register", {{{"account_status", 1}}});
  run(user->registerWithPhone("13900000000", "86", "pw", "1"));
  EXPECT_TRUE(user->heartBeatRunning());  // registration leaves the timer alone
  scheduler->advance(seconds(120));
  // Bring the session back: the timer must have ended for good at that tick.
  user->setSession(GVTsSession::initWithUserInfo(JVX_USER_INFO{}));
  scheduler->advance(seconds(240));
  settle();
  EXPECT_TRUE(seen(account, kHeartbeat).empty());
}

TEST_F(UserSession, HeartbeatReplySignOutCodeKeepsTheUser) {
  signIn();
  account.setCodeForPath(kHeartbeat, 101, "signed out");
  scheduler->advance(seconds(120));
  ASSERT_TRUE(waitFor(account, kHeartbeat, 1));
  EXPECT_TRUE(user->online());
  EXPECT_EQ(user->status(), TsUserStatusNormal);
}

TEST_F(UserSession, SignOutIsLocalEvenWhenTheCallFails) {
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail);
    defaults->setLastLoginUser(std::string("alice"));
    defaults->setLastLoginCountryCode(std::string(""));
    signIn(accountPayload(), true);
    ASSERT_TRUE(platform::keychain::password("AutoLoginKey", "alice"));
    if (fail) {
      account.setCodeForPath("/q5client/user/logout", 20004, "no such account");
    } else {
      account.scriptPayloads("/q5client/user/logout", {{{"feedback", ""}}});
    }
    posted.clear();
    auto signal = user->resign();
    // Announced when asked, before anything is sent.
    ASSERT_EQ(posted, std::vector<std::string>{std::string(TsUserWillResignNotification)});
    auto out = run(signal);
    EXPECT_EQ(out.error.has_value(), fail);
    ASSERT_FALSE(posted.empty());
    EXPECT_EQ(posted.back(), TsUserStateChangedNotification);
    EXPECT_FALSE(user->online());
    EXPECT_FALSE(user->heartBeatRunning());
    EXPECT_FALSE(defaults->sessionData());
    EXPECT_FALSE(platform::keychain::password("AutoLoginKey", "alice"));
    EXPECT_EQ(defaults->lastLoginUser(), "alice");
    auto sent = seen(account, "/q5client/user/logout");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ((*sent.back().info)["uid"], 10001);
    account.clearCodes();
  }
}

TEST_F(UserSession, SignOutCompletesWhenTheAskerGoesAway) {
  defaults->setLastLoginUser(std::string("alice"));
  defaults->setLastLoginCountryCode(std::string(""));
  signIn(accountPayload(), true);
  account.scriptPayloads("/q5client/user/logout", {{{"feedback", ""}}});
  posted.clear();
  // The window that asked closes at once: its subscription is disposed before any answer.
  bool delivered = false;
  user->resign().subscribe({[&](const auto&) { delivered = true; }, nullptr, nullptr}).dispose();
  ASSERT_TRUE(main.queue().runUntil([&] { return !user->online(); }));
  main.queue().runUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_FALSE(delivered);
  EXPECT_FALSE(defaults->sessionData());
  EXPECT_FALSE(platform::keychain::password("AutoLoginKey", "alice"));
  EXPECT_EQ(std::count(posted.begin(), posted.end(), std::string(TsUserStateChangedNotification)),
            1);
  EXPECT_EQ(seen(account, "/q5client/user/logout").size(), 1u);
}

TEST_F(UserSession, ProfileRefreshOnlyForTheSameUser) {
  signIn();
  posted.clear();
  account.scriptPayloads("/q5client/user/profile",
                         {accountPayload({{"uid", 20002}, {"username", "mallory"}}),
                          accountPayload({{"username", "alice2"}})});
  user->refreshUserProfile();
  ASSERT_TRUE(waitFor(account, "/q5client/user/profile", 1));
  EXPECT_EQ(user->username(), "alice");
  EXPECT_TRUE(posted.empty());

  user->refreshUserProfile();
  ASSERT_TRUE(waitFor(account, "/q5client/user/profile", 2));
  ASSERT_TRUE(main.queue().runUntil([&] { return !posted.empty(); }));
  EXPECT_EQ(user->username(), "alice2");
  EXPECT_EQ(posted, std::vector<std::string>{std::string(TsUserInfoChangedNotification)});
  auto stored = TsUserController::sessionFromStoredData(*defaults->sessionData());
  EXPECT_EQ(stored->userInfo->username, "alice2");
  auto sent = seen(account, "/q5client/user/profile");
  EXPECT_EQ((*sent[0].info)["uid"], 10001);
  EXPECT_EQ((*sent[0].info)["mac"], user->mac());
}

TEST_F(UserSession, SavedSessionWithoutRealNameHasNoToken) {
  signIn(accountPayload({{"real_name_verification", 0}}));
  user->saveSession();
  auto stored = TsUserController::sessionFromStoredData(*defaults->sessionData());
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->userInfo->login_token, "");
#ifdef GELMORA_HAS_OLDER_PARAMS
  EXPECT_EQ(TsParams::getUid(), 10001);
  EXPECT_EQ(TsParams::getNickname(), "alice");
  EXPECT_EQ(TsParams::getPacketId(), "package_id7");
#endif

  // The next start loads it and sends nothing.
  account.clearRequests();
  TsUserController next(*defaults, scheduler);
  posted.clear();
  next.trySignin();
  settle();
  EXPECT_TRUE(account.requests().empty());
  EXPECT_TRUE(next.online());
  EXPECT_EQ(next.status(), TsUserStatusNone);
  EXPECT_TRUE(posted.empty());
}

TEST_F(UserSession, StoredSessionTextThatIsNoSession) {
  for (const char* text : {"", "[1,2]", "\"text\"", "{not json", "{\"userInfo\": 5}", "null"}) {
    SCOPED_TRACE(text);
    defaults->setSessionData(std::string(text));
    TsUserController next(*defaults, scheduler);
    next.trySignin();
    EXPECT_FALSE(next.online());
  }
  settle();
  EXPECT_TRUE(account.requests().empty());
}

TEST_F(UserSession, ClearSessionKeepsLoginAndLogoutPages) {
  signIn();
  defaults->setLoginFeedbackUrl(std::string("http://fb.example/login"));
  defaults->setLogoutFeedbackUrl(std::string("http://fb.example/logout"));
  defaults->setPayFeedbackUrl(std::string("http://fb.example/pay"));
  defaults->setEndBoostFeedbackUrl(std::string("http://fb.example/end"));
  defaults->setThirdLoginToken(std::string("t"));
  user->clearSession();
  EXPECT_FALSE(user->session());
  EXPECT_FALSE(store->contains("sessionData"));
  EXPECT_EQ(defaults->thirdLoginToken(), "");
  EXPECT_EQ(defaults->payFeedbackUrl(), "");
  EXPECT_EQ(defaults->endBoostFeedbackUrl(), "");
  EXPECT_EQ(store->textValue("loginFeedbackUrl"), "http://fb.example/login");
  EXPECT_EQ(store->textValue("logoutFeedbackUrl"), "http://fb.example/logout");
}

TEST_F(UserSession, FeedbackList) {
  struct Case {
    nlohmann::json answer;
    size_t posts;
  } cases[] = {
      {{{"login", "http://fb.example/l"},
        {"pay", "http://fb.example/p"},
        {"end", ""},
        {"logout", "http://fb.example/o"}},
       1},
      {{{"login", ""}, {"pay", "http://fb.example/p2"}}, 0},
  };
  signIn();
  ASSERT_TRUE(waitFor(feedback, "/api/v1/feedback/list", 1));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.dump());
    posted.clear();
    feedback.clearRequests();
    feedback.scriptPayloads("/api/v1/feedback/list", {c.answer});
    user->fetchFeedbackList();
    ASSERT_TRUE(waitFor(feedback, "/api/v1/feedback/list", 1));
    EXPECT_EQ(count(TsUserLoginFeedbackNotification), c.posts);
    for (const char* key : {"login", "pay", "end", "logout"}) {
      const char* stored = std::string(key) == "login" ? "loginFeedbackUrl"
                           : std::string(key) == "pay" ? "payFeedbackUrl"
                           : std::string(key) == "end" ? "endBoostFeedbackUrl"
                                                       : "logoutFeedbackUrl";
      if (c.answer.contains(key)) {
        EXPECT_EQ(store->textValue(stored), c.answer[key].get<std::string>()) << key;
      } else {
        EXPECT_FALSE(store->contains(stored)) << key;
      }
    }
    const auto req = *feedback.requests().back().info;
    EXPECT_EQ(req["pid"], "oxla");
    EXPECT_EQ(req["platform"], "mac");
    EXPECT_EQ(req["uid"], "10001");
    EXPECT_EQ(req["version"], app().version());
  }
  // A failure is silent and keeps what was stored.
  feedback.setCodeForPath("/api/v1/feedback/list", 500, "down");
  posted.clear();
  feedback.clearRequests();
  user->fetchFeedbackList();
  ASSERT_TRUE(waitFor(feedback, "/api/v1/feedback/list", 1));
  EXPECT_TRUE(posted.empty());
  EXPECT_EQ(store->textValue("payFeedbackUrl"), "http://fb.example/p2");
}

TEST_F(UserSession, LoginCodeUnscramblesToItsText) {
  app().setLanguage(std::string("zh-TW"));
  signIn();
  std::string expected = "system_name=macOS&os_version=" + TsSystemInformation::clientVersion() +
                         "&client_version=" + app().version() +
                         "&system_plat=pc&mac=" + user->mac() + "&uid=10001&language=zh-TW";
  EXPECT_EQ(user->loginCodeText(), expected);
  std::string code = user->loginCode();
  EXPECT_EQ(code.find_first_of("+/=&#?"), std::string::npos);
  // Undo the URL encoding, then the scrambling.
  std::string unescaped;
  for (size_t i = 0; i < code.size(); ++i) {
    if (code[i] == '%' && i + 2 < code.size()) {
      unescaped += static_cast<char>(std::stoi(code.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      unescaped += code[i];
    }
  }
  EXPECT_EQ(PXACrypto::decryptedDataFromString(unescaped), expected);
}

}  // namespace
