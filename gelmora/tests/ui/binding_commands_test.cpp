// The binding operations of the phone view model against the account stand-in: what enables
// them, what the service receives, the refresh before the bind notification, the type carried by
// the verify notification, failures that post nothing, and a signed-out user who sends nothing.
#include <any>

#include "../SessionTestSupport.h"
#include "ui/Sections/Login/TsLoginViewModel.h"

using gelmora::ui::ManualTicker;
using gelmora::ui::TsLoginViewModel;
using nlohmann::json;
using platform::reactive::Unit;

namespace {

class BindingCommandsTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    TsLoginViewModel::Collaborators c;
    c.user = user.get();
    c.defaults = defaults.get();
    c.ticker = std::make_unique<ManualTicker>();
    c.updateLinkedSNSInfo = [this] { events.push_back("refresh"); };
    model = TsLoginViewModel::create(std::move(c));
    for (auto name : {TsUserVerifyPhoneSuccessNotification, TsUserBindPhoneSuccessNotification,
                      TsUserUnbindPhoneSuccessNotification}) {
      center().addObserver(&events, name, [this](const platform::notifications::Notification& n) {
        events.push_back(std::string(n.name));
        if (n.object.has_value()) objects.push_back(std::any_cast<std::string>(n.object));
      });
    }
  }
  void TearDown() override {
    center().removeObserver(&events);
    model.reset();
    SessionFixture::TearDown();
  }
  json lastInfo(const std::string& path) {
    auto all = seen(account, path);
    if (all.empty() || !all.back().info) return json();
    return *all.back().info;
  }
  // Signs a stand-in account in; answers its uid.
  int64_t signInStore(const std::string& phone = "") {
    auto& a = account.addAccount({0, "bob", "", phone, "", "secret1", "", 1024, false, 1});
    const int64_t uid = a.uid;
    auto out = run(user->signinWithPhone("bob", "", "secret1", false));
    EXPECT_TRUE(out.completed) << (out.error ? out.error->description : "");
    return uid;
  }
  std::string requestCode(const std::string& phone, const std::string& type) {
    model->stopTimer();
    model->userName.setValue(phone);
    EXPECT_TRUE(run(model->fetchCodeWithType(type)).completed);
    return account.sentCode(phone).value_or("");
  }

  std::vector<std::string> events;
  std::vector<std::string> objects;
  std::shared_ptr<TsLoginViewModel> model;
};

TEST_F(BindingCommandsTest, EnablingByCodeAndPhone) {
  struct Row {
    const char *code, *phone;
    bool bind, unbind, verify;
  };
  const Row rows[] = {{"123", "13700000000", 0, 0, 0},
                      {"1234", "", 0, 1, 1},
                      {"1234", "13700000000", 1, 1, 1},
                      {"", "13700000000", 0, 0, 0}};
  for (const auto& r : rows) {
    model->quickAuthCode.setValue(r.code);
    model->userName.setValue(r.phone);
    EXPECT_EQ(model->bindPhoneCommand()->isEnabled(), r.bind) << r.code << " " << r.phone;
    EXPECT_EQ(model->unBindPhoneCommand()->isEnabled(), r.unbind) << r.code;
    EXPECT_EQ(model->verifyPhoneCommandWithType("MODIFY_PHONE")->isEnabled(), r.verify) << r.code;
  }
}

TEST_F(BindingCommandsTest, BindVerifyUnbindAgainstTheStore) {
  const int64_t uid = signInStore();
  const std::string mac = user->mac();

  // Bind: the refresh runs before the notification; fields as the service takes them.
  model->countryCode.setValue("+44");
  model->quickAuthCode.setValue(requestCode("13700000000", "BIND_NEW_PHONE"));
  EXPECT_EQ(lastInfo("/api/phone/verify-code").value("type", ""), "BIND_NEW_PHONE");
  auto bound = run(model->bindPhoneCommand()->execute(Unit{}));
  ASSERT_TRUE(bound.completed) << (bound.error ? bound.error->description : "");
  EXPECT_EQ(events,
            (std::vector<std::string>{"refresh", std::string(TsUserBindPhoneSuccessNotification)}));
  json sent = lastInfo("/q5client/user/bind-new-phone");
  EXPECT_EQ(sent.value("uid", int64_t(0)), uid);
  EXPECT_EQ(sent.value("mac", ""), mac);
  EXPECT_EQ(sent.value("phone", ""), "13700000000");
  EXPECT_EQ(sent.value("country_code", ""), "44");
  EXPECT_FALSE(sent.contains("online_required"));
  EXPECT_EQ(account.accountByUid(uid)->phone, "13700000000");

  // Verify before a change: the notification carries the type.
  events.clear();
  model->quickAuthCode.setValue(requestCode("13700000000", "MODIFY_PHONE"));
  auto verified = run(model->verifyPhoneCommandWithType("MODIFY_PHONE")->execute(Unit{}));
  ASSERT_TRUE(verified.completed) << (verified.error ? verified.error->description : "");
  EXPECT_EQ(events, (std::vector<std::string>{std::string(TsUserVerifyPhoneSuccessNotification)}));
  EXPECT_EQ(objects, (std::vector<std::string>{"MODIFY_PHONE"}));
  sent = lastInfo("/q5client/phone/verify-phone");
  EXPECT_EQ(sent.value("type", ""), "MODIFY_PHONE");
  EXPECT_EQ(sent.value("uid", int64_t(0)), uid);
  EXPECT_EQ(sent.value("mac", ""), mac);

  // A wrong code: the error reaches the caller, nothing is posted or refreshed.
  events.clear();
  model->quickAuthCode.setValue("000000");
  auto wrong = run(model->verifyPhoneCommandWithType("UNBIND_PHONE")->execute(Unit{}));
  ASSERT_TRUE(wrong.error);
  EXPECT_EQ(wrong.error->code, 20002);
  auto wrongBind = run(model->bindPhoneCommand()->execute(Unit{}));
  ASSERT_TRUE(wrongBind.error);
  EXPECT_TRUE(events.empty());

  // Unbind: its notification, no refresh.
  model->quickAuthCode.setValue(requestCode("13700000000", "UNBIND_PHONE"));
  ASSERT_TRUE(run(model->unBindPhoneCommand()->execute(Unit{})).completed);
  EXPECT_EQ(events, (std::vector<std::string>{std::string(TsUserUnbindPhoneSuccessNotification)}));
  EXPECT_EQ(account.accountByUid(uid)->phone, "");

  // Social accounts: a refresh on success only.
  events.clear();
  ASSERT_TRUE(run(model->unbindSNSWithPlatform("google")).completed);
  EXPECT_EQ(lastInfo("/q5client/user/unbind-sns").value("third_account_provider", ""), "google");
  EXPECT_EQ(events, (std::vector<std::string>{"refresh"}));
  events.clear();
  account.setCodeForPath("/q5client/user/unbind-sns", 7, "refused");
  account.setCodeForPath("/q5client/user/unbind-wechat", 7, "refused");
  auto refusedSns = run(model->unbindSNSWithPlatform("qq"));
  ASSERT_TRUE(refusedSns.error);
  EXPECT_EQ(refusedSns.error->code, 7);
  EXPECT_TRUE(run(model->unBindWechat()).error);
  EXPECT_TRUE(events.empty());
}

TEST_F(BindingCommandsTest, UnusedRequestBuilders) {
  signInStore();
  model->email.setValue("bob@mail.test");
  model->password.setValue("newpass1");
  ASSERT_TRUE(run(model->bindEmail()).completed);
  json mail = lastInfo("/q5client/user/bind-mail");
  EXPECT_EQ(mail.value("mail", ""), "bob@mail.test");
  EXPECT_EQ(mail.value("password", ""), "newpass1");
  EXPECT_FALSE(mail.contains("code"));

  model->countryCode.setValue("086");
  model->quickAuthCode.setValue(requestCode("13500000000", "BIND_NEW_PHONE"));
  ASSERT_TRUE(run(model->bindPhone()).completed);
  json phone = lastInfo("/q5client/user/bind-phone");
  EXPECT_EQ(phone.value("country_code", ""), "86");
  EXPECT_EQ(phone.value("password", ""), "newpass1");
  ASSERT_TRUE(run(model->unBindPhone()).completed);
  EXPECT_TRUE(events.empty());  // none of them posts
}

TEST_F(BindingCommandsTest, SignedOutSendsNothing) {
  model->userName.setValue("13700000000");
  model->quickAuthCode.setValue("123456");
  model->email.setValue("bob@mail.test");
  model->password.setValue("secret1");
  const platform::reactive::Signal<json> signals[] = {
      model->verifyPhoneSignalWithType("MODIFY_PHONE"),
      model->bindPhoneSignal(),
      model->unbindPhoneSignal(),
      model->unbindSNSWithPlatform("google"),
      model->unBindWechat(),
      model->bindPhone(),
      model->bindEmail(),
      model->unBindPhone()};
  for (const auto& s : signals) {
    auto out = run(s);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, 1002);
  }
  settle();
  EXPECT_TRUE(account.requests().empty());
  EXPECT_TRUE(events.empty());
}

}  // namespace
