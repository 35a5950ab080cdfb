// The e-mail forms' view model against the account and analytics stand-ins: what enables each
// command, the values the service receives, the one count-down of every code command, and the
// calls that need a signed-in user.
#include <tuple>

#include "../SessionTestSupport.h"
#include "Tovra/REST/CurlTransport.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "standin/AnalyticsCollector.h"
#include "ui/Sections/Login-Oxla/OXLoginViewModel.h"

using gelmora::ui::ManualTicker;
using gelmora::ui::OXLoginViewModel;
using nlohmann::json;
using platform::reactive::Unit;

namespace {

class EmailLoginViewModelTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    ASSERT_TRUE(collector.start());
    MeasurementProtocolClient::Configuration config;
    config.trackingId = "UA-TEST-1";
    config.endpoint = collector.url();
    analytics = std::make_unique<TsAnalyticsService>(
        *defaults, *user,
        std::make_unique<MeasurementProtocolClient>(std::move(config), tq::CurlTransport::shared()),
        scheduler, "h");
    OXLoginViewModel::Collaborators c;
    c.user = user.get();
    c.analytics = analytics.get();
    auto t = std::make_unique<ManualTicker>();
    ticker = t.get();
    c.ticker = std::move(t);
    c.updateLinkedSNSInfo = [this] { ++linkedRefreshes; };
    model = OXLoginViewModel::create(std::move(c));
  }
  void TearDown() override {
    model.reset();
    analytics.reset();
    collector.stop();
    SessionFixture::TearDown();
  }

  // The decoded "info" of the last request on `path`.
  json lastInfo(const std::string& path) {
    auto all = seen(account, path);
    if (all.empty() || !all.back().info) return json();
    return *all.back().info;
  }
  size_t eventsWithLabel(const std::string& label) {
    size_t n = 0;
    for (const auto& h : collector.hits()) n += h.get("el") == label;
    return n;
  }

  standin::AnalyticsCollector collector;
  std::unique_ptr<TsAnalyticsService> analytics;
  ManualTicker* ticker = nullptr;
  int linkedRefreshes = 0;
  std::shared_ptr<OXLoginViewModel> model;
};

TEST_F(EmailLoginViewModelTest, EnablingTable) {
  struct Row {
    const char *email, *password, *code, *resetEmail, *resetPassword, *resetCode;
    // login, signup, reset, bind, registerCode, resetCode, bindCode
    bool on[7];
  };
  const Row rows[] = {
      // Nothing typed: every checked command is off.
      {"", "", "", "", "", "", {0, 0, 0, 0, 0, 0, 0}},
      {"a@b.com", "123456", "", "", "", "", {1, 1, 0, 0, 1, 0, 1}},
      {"a@b.com", "12345", "", "", "", "", {0, 0, 0, 0, 1, 0, 1}},
      // Blanks around the address: sign-in and sign-up pass, the code buttons check it as typed.
      {"  a@b.com ", "123456", "9", "", "", "", {1, 1, 0, 1, 0, 0, 0}},
      {"a@b", "123456", "9", "", "", "", {0, 0, 0, 0, 0, 0, 0}},
      // A code of blanks does not link.
      {"a@b.com", "123456", "   ", "", "", "", {1, 1, 0, 0, 1, 0, 1}},
      // Reset: the code needs more than 4 characters, the address is checked as typed.
      {"", "", "", "c@d.org", "654321", "1234", {0, 0, 0, 0, 0, 1, 0}},
      {"", "", "", "c@d.org", "654321", "12345", {0, 0, 1, 0, 0, 1, 0}},
      {"", "", "", " c@d.org", "654321", "12345", {0, 0, 0, 0, 0, 0, 0}},
      {"", "", "", "c@d.org", "65432", "12345", {0, 0, 0, 0, 0, 1, 0}},
  };
  for (const auto& r : rows) {
    model->email.setValue(r.email);
    model->password.setValue(r.password);
    model->code.setValue(r.code);
    model->resetEmail.setValue(r.resetEmail);
    model->resetPassword.setValue(r.resetPassword);
    model->resetCode.setValue(r.resetCode);
    bool got[7] = {
        model->loginCommand()->isEnabled(),        model->signupCommand()->isEnabled(),
        model->resetCommand()->isEnabled(),        model->bindCommand()->isEnabled(),
        model->registerCodeCommand()->isEnabled(), model->resetCodeCommand()->isEnabled(),
        model->bindCodeCommand()->isEnabled()};
    for (int i = 0; i < 7; ++i)
      EXPECT_EQ(got[i], r.on[i]) << "row '" << r.email << "' '" << r.resetEmail << "' command "
                                 << i;
  }
  EXPECT_TRUE(model->unbindCommand()->isEnabled());
}

TEST_F(EmailLoginViewModelTest, ValuesAsTheServiceReceivesThem) {
  account.addAccount({0, "ann@mail.test", "ann@mail.test", "", "", "secret1", "", 10, false, 1});

  // Sign-in: trimmed address, password as typed, remembered.
  model->email.setValue("  ann@mail.test ");
  model->password.setValue("secret1");
  auto in = run(model->loginCommand()->execute(Unit{}));
  ASSERT_TRUE(in.completed) << (in.error ? in.error->description : "");
  EXPECT_EQ(lastInfo("/q5client/user/login").value("username", ""), "ann@mail.test");
  EXPECT_EQ(user->loginType(), "email");
  EXPECT_GE(user->status(), TsUserStatusExpired);  // online

  // Sign-up without a code, the address sent trimmed.
  model->email.setValue(" new@mail.test ");
  model->password.setValue("pass123");
  model->code.setValue("");
  auto up = run(model->signupCommand()->execute(Unit{}));
  ASSERT_TRUE(up.completed) << (up.error ? up.error->description : "");
  json reg = lastInfo("/q5client/user/mail-register-new");
  EXPECT_EQ(reg.value("mail", ""), "new@mail.test");
  EXPECT_EQ(reg.value("code", "x"), "");
  EXPECT_EQ(reg.value("platform", ""), "MAC");
  EXPECT_EQ(count(TsUserRegisterSuccessNotification), 1u);

  // The three code kinds.
  const std::tuple<std::shared_ptr<platform::reactive::Command<Unit, json>>, std::string,
                   std::string>
      kinds[] = {{model->registerCodeCommand(), "new@mail.test", "REGISTER"},
                 {model->resetCodeCommand(), "ann@mail.test", "RESET_PASSWORD"},
                 {model->bindCodeCommand(), "new@mail.test", "BIND_EMAIL"}};
  model->email.setValue("new@mail.test");
  model->resetEmail.setValue("ann@mail.test");
  for (const auto& [command, address, type] : kinds) {
    model->stopTimer();
    auto out = run(command->execute(Unit{}));
    ASSERT_TRUE(out.completed) << type;
    json sent = lastInfo("/q5client/user/send-email-verify-code");
    EXPECT_EQ(sent.value("email", ""), address);
    EXPECT_EQ(sent.value("type", ""), type);
  }

  // Reset: trimmed address and code; the new password signs in.
  ASSERT_TRUE(account.sentCode("ann@mail.test"));
  model->resetEmail.setValue("ann@mail.test");
  model->resetPassword.setValue("newpass9");
  model->resetCode.setValue(" " + *account.sentCode("ann@mail.test") + " ");
  auto reset = run(model->resetCommand()->execute(Unit{}));
  ASSERT_TRUE(reset.completed) << (reset.error ? reset.error->description : "");
  EXPECT_EQ(lastInfo("/q5client/user/mail-reset-password").value("code", ""),
            *account.sentCode("ann@mail.test"));
  EXPECT_EQ(count(TsUserResetPasswordNotification), 1u);
  auto again = run(user->signinWithPhone("ann@mail.test", "", "newpass9", false));
  EXPECT_TRUE(again.completed);
}

TEST_F(EmailLoginViewModelTest, OneCountDownForEveryCodeCommand) {
  EXPECT_EQ(model->codeButtonTitle.value(), "get_code_button");  // set at creation
  model->email.setValue("a@b.com");
  model->resetEmail.setValue("c@d.org");
  auto reg = model->registerCodeCommand();
  auto reset = model->resetCodeCommand();
  auto bind = model->bindCodeCommand();
  ASSERT_TRUE(run(reg->execute(Unit{})).completed);
  EXPECT_TRUE(ticker->isActive());
  EXPECT_DOUBLE_EQ(ticker->interval(), 1.0);
  std::vector<std::string> titles{model->codeButtonTitle.value()};
  for (int i = 0; i < 30; ++i) {
    EXPECT_FALSE(reg->isEnabled() || reset->isEnabled() || bind->isEnabled()) << i;
    ticker->fire();
    titles.push_back(model->codeButtonTitle.value());
  }
  EXPECT_EQ(titles.front(), "30s");
  EXPECT_EQ(titles[29], "1s");
  EXPECT_EQ(titles.back(), "get_code_button");
  EXPECT_TRUE(reg->isEnabled() && reset->isEnabled() && bind->isEnabled());
  // The tick after zero ends the count-down without going below it.
  ticker->fire();
  EXPECT_FALSE(ticker->isActive());
  EXPECT_EQ(model->lastSecond.value(), 0);
}

TEST_F(EmailLoginViewModelTest, FailedCodeRequestStartsNoCountDown) {
  account.setCodeForPath("/q5client/user/send-email-verify-code", 1, "too many");
  model->email.setValue("a@b.com");
  auto reg = model->registerCodeCommand();
  auto out = run(reg->execute(Unit{}));
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->code, 1);
  EXPECT_FALSE(ticker->isActive());
  EXPECT_EQ(model->lastSecond.value(), 0);
  EXPECT_EQ(model->codeButtonTitle.value(), "get_code_button");
  EXPECT_TRUE(reg->isEnabled());
}

TEST_F(EmailLoginViewModelTest, HeldRequestRefusesASecondRun) {
  model->email.setValue("a@b.com");
  auto reg = model->registerCodeCommand();
  auto first = reg->execute(Unit{});
  auto out1 = std::make_shared<Outcome<json>>();
  first.subscribe({[out1](const json& v) { out1->values.push_back(v); },
                   [out1](const platform::reactive::Error& e) { out1->error = e; },
                   [out1] { out1->completed = true; }});
  EXPECT_FALSE(reg->isEnabled());
  auto second = run(reg->execute(Unit{}));
  ASSERT_TRUE(second.error);
  EXPECT_EQ(second.error->code, platform::reactive::kCommandErrorNotEnabled);
  ASSERT_TRUE(main.queue().runUntil([&] { return out1->done(); }));
  EXPECT_EQ(seen(account, "/q5client/user/send-email-verify-code").size(), 1u);
}

TEST_F(EmailLoginViewModelTest, LinkingNeedsASignedInUser) {
  model->email.setValue("a@b.com");
  model->password.setValue("123456");
  model->code.setValue("777777");
  for (auto out :
       {run(model->bindCommand()->execute(Unit{})), run(model->unbindCommand()->execute(Unit{}))}) {
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, 1002);
  }
  settle();
  EXPECT_TRUE(seen(account, "/q5client/user/bind-mail").empty());
  EXPECT_TRUE(seen(account, "/q5client/user/unbind-sns").empty());
  EXPECT_EQ(linkedRefreshes, 0);

  // Signed in: uid, device and the trimmed address go out, then the bound accounts refresh.
  auto& a = account.addAccount({0, "bob", "", "", "", "pw-123456", "", 10, false, 1});
  const int64_t uid = a.uid;
  ASSERT_TRUE(run(user->signinWithPhone("bob", "", "pw-123456", false)).completed);
  model->email.setValue(" a@b.com ");
  ASSERT_TRUE(run(model->bindCommand()->execute(Unit{})).completed);
  json bind = lastInfo("/q5client/user/bind-mail");
  EXPECT_EQ(bind.value("uid", 0), uid);
  EXPECT_EQ(bind.value("mail", ""), "a@b.com");
  EXPECT_EQ(bind.value("mac", ""), user->mac());
  EXPECT_EQ(linkedRefreshes, 1);
  ASSERT_TRUE(run(model->unbindCommand()->execute(Unit{})).completed);
  EXPECT_EQ(lastInfo("/q5client/user/unbind-sns").value("third_account_provider", ""), "email");
  EXPECT_EQ(linkedRefreshes, 2);
}

TEST_F(EmailLoginViewModelTest, LoginEventOnlyAfterACompletedSignIn) {
  account.addAccount({0, "ann@mail.test", "ann@mail.test", "", "", "secret1", "", 10, false, 1});
  model->email.setValue("ann@mail.test");
  model->password.setValue("wrong-one");
  ASSERT_TRUE(run(model->loginCommand()->execute(Unit{})).error);
  settle();
  EXPECT_EQ(eventsWithLabel("login_channel_email"), 0u);
  model->password.setValue("secret1");
  ASSERT_TRUE(run(model->loginCommand()->execute(Unit{})).completed);
  EXPECT_TRUE(main.queue().runUntil([&] { return eventsWithLabel("login_channel_email") == 1; }));
}

}  // namespace
