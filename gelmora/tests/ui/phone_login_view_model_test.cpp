// The phone forms' view model against the account stand-in: what enables each command, the dial
// code as the service receives it, the one 30-second count-down shared by the text-message and
// voice code buttons, and the two sign-in routes.
#include "../SessionTestSupport.h"
#include "ui/Sections/Login/TsLoginViewModel.h"

using gelmora::ui::ManualTicker;
using gelmora::ui::normalizedDialCode;
using gelmora::ui::TsLoginViewModel;
using nlohmann::json;
using platform::reactive::Unit;

namespace {

constexpr const char* kPhone = "13800000000";

class PhoneLoginViewModelTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    TsLoginViewModel::Collaborators c;
    c.user = user.get();
    c.defaults = defaults.get();
    auto t = std::make_unique<ManualTicker>();
    ticker = t.get();
    c.ticker = std::move(t);
    model = TsLoginViewModel::create(std::move(c));
  }
  void TearDown() override {
    model.reset();
    SessionFixture::TearDown();
  }
  json lastInfo(const std::string& path) {
    auto all = seen(account, path);
    if (all.empty() || !all.back().info) return json();
    return *all.back().info;
  }

  ManualTicker* ticker = nullptr;
  std::shared_ptr<TsLoginViewModel> model;
};

TEST(DialCode, NormalForm) {
  const std::pair<const char*, const char*> rows[] = {
      {"+852", "852"},
      {"086", "86"},
      {"", "0"},
      {" -7x", "-7"},
      {"\t+44 1", "44"},
      {"+", "0"},
      {"x86", "0"},
      {"+-1", "0"},
      {"99999999999", "2147483647"},
      {"-99999999999", "-2147483648"},
      {"2147483648", "2147483647"},
      {"-2147483648", "-2147483648"},
  };
  for (const auto& [in, out] : rows) EXPECT_EQ(normalizedDialCode(in), out) << "'" << in << "'";
  // Any length saturates.
  EXPECT_EQ(normalizedDialCode(std::string(100000, '9')), "2147483647");
}

TEST_F(PhoneLoginViewModelTest, EnablingTable) {
  struct Row {
    const char *phone, *password, *email, *code;
    bool login, quick, sms, voice;
  };
  const Row rows[] = {
      {"", "", "", "", 0, 0, 0, 0},
      {kPhone, "12345", "", "", 0, 0, 1, 1},   // 5 characters: no password sign-in
      {kPhone, "123456", "", "", 1, 0, 1, 1},  // 6: a valid phone suffices
      {"", "123456", "a@b.com", "", 1, 0, 0, 0},
      {"", "12345", "a@b.com", "", 0, 0, 0, 0},
      {"1234", "", "", "1234", 0, 1, 1, 1},  // 4 digits and a 4-character code
      {"1234", "", "", "123", 0, 0, 1, 1},
      {"123", "123456", "", "1234", 0, 0, 0, 0},                    // 3 digits
      {"123456789012345678901", "123456", "", "1234", 0, 0, 0, 0},  // 21 digits
      {"12345678901234567890", "123456", "", "1234", 1, 1, 1, 1},   // 20 digits
      {"+8613800000000", "123456", "", "1234", 0, 0, 0, 0},
      {"138 0000", "123456", "", "1234", 0, 0, 0, 0},
  };
  for (const auto& r : rows) {
    model->userName.setValue(r.phone);
    model->password.setValue(r.password);
    model->email.setValue(r.email);
    model->quickAuthCode.setValue(r.code);
    EXPECT_EQ(model->loginCommand()->isEnabled(), r.login) << r.phone << "/" << r.email;
    EXPECT_EQ(model->quickLoginCommand()->isEnabled(), r.quick) << r.phone << "/" << r.code;
    EXPECT_EQ(model->codeCommandWithType("LOGIN")->isEnabled(), r.sms) << r.phone;
    EXPECT_EQ(model->voiceCodeCommandWithType("LOGIN")->isEnabled(), r.voice) << r.phone;
  }
}

TEST_F(PhoneLoginViewModelTest, SmsAndVoiceCodesShareOneCountDown) {
  EXPECT_EQ(model->codeButtonTitle.value(), "短信验证码");  // set at creation
  EXPECT_EQ(model->voiceCodeButtonTitle.value(), "");
  EXPECT_FALSE(model->showVoice.value());
  model->userName.setValue(kPhone);
  model->countryCode.setValue("+852");
  auto sms = model->codeCommandWithType("LOGIN");
  auto voice = model->voiceCodeCommandWithType("LOGIN");

  ASSERT_TRUE(run(sms->execute(Unit{})).completed);
  json sent = lastInfo("/api/phone/verify-code");
  EXPECT_EQ(
      sent,
      (json{{"phone", kPhone}, {"country_code", "852"}, {"method", "SMS"}, {"type", "LOGIN"}}));
  EXPECT_TRUE(ticker->isActive());
  EXPECT_DOUBLE_EQ(ticker->interval(), 1.0);
  // A request during the count-down sends nothing and completes at once.
  const size_t before = seen(account, "/api/phone/verify-code").size();
  bool completedAtOnce = false;
  model->fetchVoiceCodeWithType("LOGIN").subscribeCompleted([&] { completedAtOnce = true; });
  EXPECT_TRUE(completedAtOnce);
  std::vector<std::string> titles{model->codeButtonTitle.value()};
  for (int i = 0; i < 30; ++i) {
    EXPECT_FALSE(sms->isEnabled() || voice->isEnabled()) << i;
    EXPECT_FALSE(model->showVoice.value()) << i;
    ticker->fire();
    titles.push_back(model->codeButtonTitle.value());
  }
  settle();
  EXPECT_EQ(seen(account, "/api/phone/verify-code").size(), before);
  EXPECT_EQ(titles.front(), "30s");
  EXPECT_EQ(titles[1], "29s");
  EXPECT_EQ(titles[29], "1s");
  EXPECT_EQ(titles.back(), "短信验证码");
  EXPECT_EQ(model->voiceCodeButtonTitle.value(), "");  // only the requested kind counts
  EXPECT_TRUE(model->showVoice.value());
  EXPECT_TRUE(sms->isEnabled() && voice->isEnabled());
  EXPECT_EQ(model->clickNum.value(), 0);
  ticker->fire();
  EXPECT_FALSE(ticker->isActive());
  EXPECT_EQ(model->lastSecond.value(), 0);

  // Voice: its own title counts down, the SMS title stays; the run-down sets clickNum 3.
  model->countryCode.setValue("");
  ASSERT_TRUE(run(voice->execute(Unit{})).completed);
  sent = lastInfo("/api/phone/verify-code");
  EXPECT_EQ(sent.value("method", ""), "VOICE");
  EXPECT_EQ(sent.value("country_code", ""), "0");
  EXPECT_TRUE(model->isFetchVoice.value());
  EXPECT_EQ(model->voiceCodeButtonTitle.value(), "30s");
  ticker->fire(29);
  EXPECT_EQ(model->voiceCodeButtonTitle.value(), "1s");
  EXPECT_EQ(model->clickNum.value(), 0);
  ticker->fire();
  EXPECT_EQ(model->voiceCodeButtonTitle.value(), "语音验证码");
  EXPECT_EQ(model->codeButtonTitle.value(), "短信验证码");
  EXPECT_EQ(model->clickNum.value(), 3);
  EXPECT_TRUE(model->showVoice.value());

  // stopTimer ends a running count-down at once.
  ASSERT_TRUE(run(sms->execute(Unit{})).completed);
  EXPECT_EQ(model->codeButtonTitle.value(), "30s");
  model->stopTimer();
  EXPECT_FALSE(ticker->isActive());
  EXPECT_EQ(model->codeButtonTitle.value(), "短信验证码");
  EXPECT_TRUE(sms->isEnabled());
}

TEST_F(PhoneLoginViewModelTest, FailedCodeRequestChangesNothing) {
  account.setCodeForPath("/api/phone/verify-code", 1, "too many");
  model->userName.setValue(kPhone);
  for (auto command :
       {model->codeCommandWithType("LOGIN"), model->voiceCodeCommandWithType("LOGIN")}) {
    auto out = run(command->execute(Unit{}));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, 1);
    EXPECT_FALSE(ticker->isActive());
    EXPECT_EQ(model->lastSecond.value(), 0);
    EXPECT_FALSE(model->isFetchVoice.value());
    EXPECT_EQ(model->codeButtonTitle.value(), "短信验证码");
    EXPECT_EQ(model->voiceCodeButtonTitle.value(), "");
    EXPECT_TRUE(command->isEnabled());
  }
}

TEST_F(PhoneLoginViewModelTest, PasswordSignInByPhoneOrEmail) {
  account.addAccount({0, "", "cat@mail.test", "13900000000", "86", "secret1", "", 10, false, 1});

  model->userName.setValue("13900000000");
  model->countryCode.setValue("+86");
  model->password.setValue("secret1");
  auto byPhone = run(model->loginCommand()->execute(Unit{}));
  ASSERT_TRUE(byPhone.completed) << (byPhone.error ? byPhone.error->description : "");
  json in = lastInfo("/q5client/user/login");
  EXPECT_EQ(in.value("username", ""), "13900000000");
  EXPECT_EQ(in.value("country_code", ""), "+86");  // as typed
  EXPECT_EQ(user->loginType(), "phone");
  EXPECT_EQ(defaults->lastLoginUser().value_or(""), "13900000000");  // autoLogin: remembered

  // A valid e-mail wins over a valid phone.
  model->email.setValue("cat@mail.test");
  auto byMail = run(model->loginCommand()->execute(Unit{}));
  ASSERT_TRUE(byMail.completed) << (byMail.error ? byMail.error->description : "");
  in = lastInfo("/q5client/user/login");
  EXPECT_EQ(in.value("username", ""), "cat@mail.test");
  EXPECT_EQ(in.value("country_code", ""), "+86");
  EXPECT_EQ(user->loginType(), "email");

  // Not remembered with the box off.
  defaults->setAutoLogin(false);
  defaults->setLastLoginUser(std::nullopt);
  ASSERT_TRUE(run(model->loginCommand()->execute(Unit{})).completed);
  EXPECT_FALSE(defaults->lastLoginUser());
}

TEST_F(PhoneLoginViewModelTest, SmsSignInWithTheSentCode) {
  // An account with a package: signed in, the user is in the normal state.
  auto& a = account.addAccount({0, "", "", "13600000000", "86", "", "", 10, false, 1});
  account.setCredit(a.uid, {"month", "2099-01-01"});
  model->userName.setValue("13600000000");
  model->countryCode.setValue("+86");
  ASSERT_TRUE(run(model->codeCommandWithType("LOGIN")->execute(Unit{})).completed);
  auto code = account.sentCode("13600000000");
  ASSERT_TRUE(code);
  model->quickAuthCode.setValue(*code);
  auto out = run(model->quickLoginCommand()->execute(Unit{}));
  ASSERT_TRUE(out.completed) << (out.error ? out.error->description : "");
  EXPECT_EQ(lastInfo("/q5client/user/sms-login").value("verify_code", ""), *code);
  EXPECT_EQ(user->status(), TsUserStatusNormal);
  EXPECT_EQ(user->loginType(), TsUserLoginTypePhoneSms);

  // A wrong code fails and leaves the user as is.
  model->quickAuthCode.setValue("000000");
  EXPECT_TRUE(run(model->quickLoginCommand()->execute(Unit{})).error);
}

}  // namespace
