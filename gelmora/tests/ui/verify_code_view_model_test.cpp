// The shared phone-code fetcher against the account stand-in: the phone check, the 60-second
// count-down that holds requests back, restarts, fresh commands and a failed request.
#include "../SessionTestSupport.h"
#include "gelmora/Core/BHAppPackage.h"
#include "ui/Sections/Login/TsVerifyCodeViewModel.h"

using gelmora::ui::ManualTicker;
using gelmora::ui::TsVerifyCodeViewModel;
using nlohmann::json;
using platform::reactive::Unit;

namespace {

class VerifyCodeViewModelTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    auto t = std::make_unique<ManualTicker>();
    ticker = t.get();
    model =
        std::make_unique<TsVerifyCodeViewModel>(TsVerifyCodeViewModel::Collaborators{std::move(t)});
    model->type.setValue("FIRST_LOGIN");
    model->countryCode.setValue("+86");
  }
  size_t codeRequests() { return seen(account, "/api/phone/verify-code").size(); }
  // Subscribes without pumping: true when the signal ended at once with no value.
  static bool emptyAtOnce(const platform::reactive::Signal<json>& s) {
    bool completed = false, value = false;
    s.subscribe({[&](const json&) { value = true; }, [](const platform::reactive::Error&) {},
                 [&] { completed = true; }});
    return completed && !value;
  }

  ManualTicker* ticker = nullptr;
  std::unique_ptr<TsVerifyCodeViewModel> model;
};

TEST_F(VerifyCodeViewModelTest, InvalidPhoneSendsNothing) {
  for (const char* phone : {"123", "12a45", "", "+8613800000000"}) {
    model->phone.setValue(phone);
    EXPECT_TRUE(emptyAtOnce(model->fetchCode())) << phone;
    EXPECT_FALSE(model->fetchCommand()->isEnabled()) << phone;
  }
  settle();
  EXPECT_EQ(codeRequests(), 0u);
}

TEST_F(VerifyCodeViewModelTest, SixtySecondCountDown) {
  model->phone.setValue("13800000000");
  auto command = model->fetchCommand();
  ASSERT_TRUE(command->isEnabled());
  ASSERT_TRUE(run(command->execute(Unit{})).completed);
  auto seenCodes = seen(account, "/api/phone/verify-code");
  ASSERT_EQ(seenCodes.size(), 1u);
  EXPECT_EQ(*seenCodes[0].info,
            (json{{"phone", "13800000000"}, {"type", "FIRST_LOGIN"}, {"country_code", "+86"}}));
  EXPECT_EQ(model->lastSecond.value(), 60);
  EXPECT_DOUBLE_EQ(ticker->interval(), 1.0);

  // Held back while it counts: nothing sent, the signal ends at once.
  EXPECT_FALSE(command->isEnabled());
  EXPECT_TRUE(emptyAtOnce(model->fetchCode()));
  ticker->fire(10);
  EXPECT_EQ(model->lastSecond.value(), 50);
  model->startTimer();  // restarts at 60
  EXPECT_EQ(model->lastSecond.value(), 60);
  EXPECT_EQ(ticker->fire(60), 60);
  EXPECT_EQ(model->lastSecond.value(), 0);
  EXPECT_TRUE(command->isEnabled());
  ticker->fire();
  EXPECT_FALSE(ticker->isActive());
  EXPECT_EQ(model->lastSecond.value(), 0);
  settle();
  EXPECT_EQ(codeRequests(), 1u);

  // Two commands: distinct, the same rule.
  auto a = model->fetchCommand(), b = model->fetchCommand();
  EXPECT_NE(a, b);
  model->startTimer();
  EXPECT_FALSE(a->isEnabled() || b->isEnabled());
  model->stopTimer();
  EXPECT_TRUE(a->isEnabled() && b->isEnabled());
  EXPECT_FALSE(ticker->isActive());
}

TEST_F(VerifyCodeViewModelTest, FailedRequestStaysIdle) {
  account.setCodeForPath("/api/phone/verify-code", 3, "busy");
  model->phone.setValue("13800000000");
  auto out = run(model->fetchCode());
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->code, 3);
  EXPECT_EQ(model->lastSecond.value(), 0);
  EXPECT_FALSE(ticker->isActive());
}

TEST_F(VerifyCodeViewModelTest, TheLocatorsEntryIsTheSharedInstance) {
  EXPECT_EQ(&app().verify(), &TsVerifyCodeViewModel::sharedInstance());
  EXPECT_EQ(app().verify().lastSecond.value(), 0);
}

}  // namespace
