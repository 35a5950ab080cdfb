// The profile editor's current-phone check and result panel against the account stand-in: which
// command the next button runs for each type, where the codes go after the profile changes, the
// voice button, and the result panel's one block.
#include <QTest>

#include "MeTestSupport.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsTextField.h"
#include "ui/Sections/Me/TsBindResultView.h"
#include "ui/Sections/Me/TsPreCodeView.h"

using gelmora::ui::test::waitFor;
using nlohmann::json;

namespace {

constexpr const char* kCode = "/api/phone/verify-code";

class PreCodeViewTest : public me_test::MeFixture {
 protected:
  void SetUp() override {
    MeFixture::SetUp();
    signIn({{"uid", 5}, {"phone_number", "13800000000"}, {"country_code", 86}});
    view = std::make_unique<TsPreCodeView>(user.get(), [this] { ++refreshes; });
    view->show();
  }
  void TearDown() override {
    view.reset();
    MeFixture::TearDown();
  }
  std::optional<json> last(const std::string& path) {
    std::optional<json> out;
    for (const auto& r : account.requests())
      if (r.path == path) out = r.info;
    return out;
  }
  std::unique_ptr<TsPreCodeView> view;
  int refreshes = 0;
};

TEST_F(PreCodeViewTest, LooksAndLayout) {
  EXPECT_EQ(view->size(), QSize(450, 310));
  EXPECT_EQ(view->palette().color(QPalette::Window), QColor(42, 38, 66));
  EXPECT_EQ(view->codeTF()->geometry(), QRect(65, 155, 320, 40));
  EXPECT_EQ(view->nextButton()->geometry(), QRect(65, 235, 320, 44));
  EXPECT_EQ(view->codeTF()->textField()->placeholderText(),
            gelmora::ui::L10n::text("请输入验证码"));
  // The voice button waits until the model offers voice codes.
  EXPECT_FALSE(view->codeTF()->voiceCodeBtn()->isVisible());
  view->model().showVoice.setValue(true);
  EXPECT_TRUE(view->codeTF()->voiceCodeBtn()->isVisible());
  EXPECT_EQ(view->codeTF()->voiceCodeBtn()->title(), gelmora::ui::L10n::text("语音验证码"));
}

TEST_F(PreCodeViewTest, NextButtonFollowsTheType) {
  struct Case {
    const char* type;
    const char* path;
  } cases[] = {{"MODIFY_PHONE", "/q5client/phone/verify-phone"},
               {"UNBIND_PHONE", "/q5client/user/unbind-phone"},
               {"", "/q5client/user/unbind-phone"},  // empty: the previous commands stay
               {"OTHER", "/q5client/phone/verify-phone"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    view->setType(c.type);
    view->model().quickAuthCode.setValue("123456");
    account.clearRequests();
    // The command's state reaches the button on the main queue.
    ASSERT_TRUE(waitFor([&] { return view->nextButton()->isEnabled(); }));
    view->nextButton()->click();
    ASSERT_TRUE(waitFor([&] { return seen(c.path) == 1; }));
    if (std::string(c.path) == "/q5client/phone/verify-phone") {
      EXPECT_EQ((*last(c.path))["type"], c.type);
    }
  }
  EXPECT_EQ(view->type(), "OTHER");
}

TEST_F(PreCodeViewTest, TheNextCodeGoesToTheProfilesNewNumber) {
  view->setType("MODIFY_PHONE");
  view->sendCode();
  ASSERT_TRUE(waitFor([&] { return seen(kCode) == 1; }));
  EXPECT_EQ((*last(kCode))["phone"], "13800000000");
  EXPECT_EQ((*last(kCode))["country_code"], "86");
  EXPECT_EQ((*last(kCode))["type"], "MODIFY_PHONE");

  // The service reports a new number: the next code goes there, the dial code in normal form.
  user->mutableSession()->userInfo->phone_number = "91234567";
  user->mutableSession()->userInfo->country_code = tq::Number(852);
  platform::notifications::NotificationCenter::defaultCenter().post(TsUserInfoChangedNotification);
  view->model().stopTimer();
  ASSERT_TRUE(waitFor([&] { return view->codeTF()->codeBtn()->isEnabled(); }));
  view->sendCode();
  ASSERT_TRUE(waitFor([&] { return seen(kCode) == 2; }));
  EXPECT_EQ((*last(kCode))["phone"], "91234567");
  EXPECT_EQ((*last(kCode))["country_code"], "852");
}

TEST(BindResultView, BothControlsRunTheOneBlock) {
  TsBindResultView panel;
  panel.show();
  EXPECT_EQ(panel.size(), QSize(450, 235));
  // No block: nothing happens, the panel stays.
  panel.closeButton->click();
  panel.confirmButton->click();
  EXPECT_TRUE(panel.isVisible());
  int runs = 0;
  panel.setBlock([&] { ++runs; });
  panel.closeButton->click();
  panel.confirmButton->click();
  EXPECT_EQ(runs, 2);
  EXPECT_TRUE(panel.isVisible());
}

}  // namespace
