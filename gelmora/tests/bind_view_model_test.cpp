// The bound-accounts model against the account stand-in: how answers become flags and names,
// what the four requests carry, and that a signed-out user's accounts never linger or come back.
#include <gtest/gtest.h>

#include "Galvent/Category/RAC.h"
#include "SessionTestSupport.h"
#include "gelmora/Sections/Me/TsUserBindViewModel.h"

namespace {

using nlohmann::json;
constexpr const char* kLinked = "/q5client/user/linked-sns";

class BindViewModelTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    standin::account::Account a;
    a.uid = 10001;
    a.username = "alice";
    account.addAccount(a);
    center().addObserver(&snsPosts, TsUserSNSInfoChangedNotification,
                         [this](const platform::notifications::Notification&) { ++snsPosts; });
    signIn();
    model = std::make_unique<TsUserBindViewModel>(user.get());
  }
  void TearDown() override {
    center().removeObserver(&snsPosts);
    model.reset();
    SessionFixture::TearDown();
  }
  // Refreshes and waits for the notification (or, with `expectPost` false, for the answer).
  void refresh(bool expectPost = true) {
    const int before = snsPosts;
    const size_t seenBefore = seen(account, kLinked).size();
    model->updateLinkedSNSInfo();
    if (expectPost) {
      ASSERT_TRUE(main.queue().runUntil([&] { return snsPosts > before; }));
    } else {
      ASSERT_TRUE(waitFor(account, kLinked, seenBefore + 1));
    }
  }
  bool anyFlag() const {
    const auto& m = *model;
    return m.phoneBound || m.emailBound || m.weiboBound || m.wechatBound || m.qqBound ||
           m.facebookBound || m.twitterBound || m.insBound || m.googleBound || m.lineBound ||
           m.kakaoBound;
  }

  std::unique_ptr<TsUserBindViewModel> model;
  int snsPosts = 0;
};

TEST_F(BindViewModelTest, OnlyExactlyOneCountsAsBound) {
  struct Case {
    const char* name;
    json answer;
    bool wechat;
    bool google;
  } cases[] = {
      {"one", {{"linked_sns", {{"wechat", 1}, {"google", 0}}}}, true, false},
      {"two", {{"linked_sns", {{"wechat", 2}, {"google", 1}}}}, false, true},
      {"text one", {{"linked_sns", {{"wechat", "1"}, {"google", "2"}}}}, true, false},
      {"missing", {{"linked_sns", {{"google", 1}}}}, false, true},
      {"no linked_sns", {{"linked_name", {{"wechat", "w"}}}}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    account.scriptPayloads(kLinked, {c.answer});
    refresh();
    EXPECT_EQ(model->wechatBound, c.wechat);
    EXPECT_EQ(model->googleBound, c.google);
    EXPECT_FALSE(model->phoneBound);
  }
  // The names are kept whole; none without linked_name.
  ASSERT_TRUE(model->boundInfo);
  EXPECT_EQ(model->boundInfo->wechat, "w");
  account.scriptPayloads(kLinked, {json{{"linked_sns", {{"qq", 1}}}}});
  refresh();
  EXPECT_FALSE(model->boundInfo);
}

TEST_F(BindViewModelTest, FlagsAndNamesFollowTheAccount) {
  account.linkProvider(10001, "google", "Alice G");
  account.linkProvider(10001, "instagram", "alice.ig");
  refresh();
  EXPECT_TRUE(model->googleBound);
  EXPECT_TRUE(model->insBound);
  EXPECT_FALSE(model->phoneBound);
  EXPECT_FALSE(model->emailBound);
  ASSERT_TRUE(model->boundInfo);
  EXPECT_EQ(model->boundInfo->google, "Alice G");
  EXPECT_EQ(model->boundInfo->instagram, "alice.ig");

  // The request: uid as a number and the device identifier.
  auto r = seen(account, kLinked).back();
  ASSERT_TRUE(r.info);
  EXPECT_TRUE((*r.info)["uid"].is_number_integer()) << r.infoText;
  EXPECT_EQ((*r.info)["uid"], 10001);
  EXPECT_EQ((*r.info)["mac"], user->mac());

  // Unlinked at the service: the next refresh reports it.
  auto out = run(RAC::rac_send([] {
    auto call = std::make_shared<JVX_API_USER_UNBIND_SNS>();
    call->req().uid = 10001;
    call->req().third_account_provider = "google";
    return call;
  }()));
  ASSERT_FALSE(out.error);
  refresh();
  EXPECT_FALSE(model->googleBound);
  EXPECT_TRUE(model->insBound);
}

TEST_F(BindViewModelTest, BindingRequestsCarryTheirFields) {
  model->phone = "13900000000";
  model->countryCode = "86";
  model->code = "123456";
  model->email = "a@b.test";
  model->password = "pw-999999";

  account.scriptPayloads("/q5client/user/bind-phone", {json{{"require_password", 0}}});
  auto phone = run(model->bindPhone());
  ASSERT_TRUE(phone.completed);
  auto r = seen(account, "/q5client/user/bind-phone").back();
  EXPECT_EQ(*r.info, (json{{"uid", 10001},
                           {"mac", user->mac()},
                           {"phone", "13900000000"},
                           {"country_code", "86"},
                           {"verify_code", "123456"},
                           {"password", "pw-999999"}}));

  auto mail = run(model->bindEmail());
  ASSERT_TRUE(mail.completed);
  r = seen(account, "/q5client/user/bind-mail").back();
  // No code, although the model holds one.
  EXPECT_EQ(
      *r.info,
      (json{
          {"uid", 10001}, {"mac", user->mac()}, {"mail", "a@b.test"}, {"password", "pw-999999"}}));
  // Neither refreshes nor notifies.
  EXPECT_EQ(snsPosts, 0);
  EXPECT_TRUE(seen(account, kLinked).empty());

  // Binding an outside account through the model does nothing here.
  account.clearRequests();
  model->bindSNSWithPlatform("google");
  EXPECT_FALSE(model->fetchSNSUserInfoWithPlatform("google"));
  settle();
  EXPECT_TRUE(account.requests().empty());
}

TEST_F(BindViewModelTest, FailedRefreshChangesAndPostsNothing) {
  account.linkProvider(10001, "qq", "q");
  refresh();
  ASSERT_TRUE(model->qqBound);
  const int posts = snsPosts;
  account.setCodeForPath(kLinked, 500, "broken");
  refresh(false);
  EXPECT_EQ(snsPosts, posts);
  EXPECT_TRUE(model->qqBound);
  ASSERT_TRUE(model->boundInfo);
  EXPECT_EQ(model->boundInfo->qq, "q");
}

TEST_F(BindViewModelTest, SignOutClearsAndALateAnswerIsDropped) {
  account.linkProvider(10001, "wechat", "wx");
  refresh();
  ASSERT_TRUE(model->wechatBound);
  model->email = "kept@b.test";

  // Sign-out: flags NO, texts and names none, announced.
  int posts = snsPosts;
  user->setOffline(true);
  EXPECT_GT(snsPosts, posts);
  EXPECT_FALSE(anyFlag());
  EXPECT_FALSE(model->boundInfo);
  EXPECT_FALSE(model->email);

  // A refresh asked while signed in whose answer comes after the sign-out changes nothing.
  signIn();
  model->updateLinkedSNSInfo();
  user->setOffline(true);
  posts = snsPosts;
  ASSERT_TRUE(waitFor(account, kLinked, 2));
  EXPECT_FALSE(anyFlag());
  EXPECT_FALSE(model->boundInfo);
  EXPECT_EQ(snsPosts, posts);

  // Signed out, a refresh sends nothing.
  model->updateLinkedSNSInfo();
  settle();
  EXPECT_EQ(seen(account, kLinked).size(), 2u);

  // The resign notification alone also clears (sign-out through the service).
  signIn();
  refresh();
  ASSERT_TRUE(model->wechatBound);
  center().post(TsUserWillResignNotification);
  EXPECT_FALSE(model->wechatBound);
}

}  // namespace
