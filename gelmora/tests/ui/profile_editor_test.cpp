// The profile editor against the account stand-in, with recording alerts and a recording
// outside-account page: rows from the bound accounts, the social rows' unlink and link, the
// phone flows' panels and the e-mail unlink.
#include <QTest>

#include "MeTestSupport.h"
#include "gelmora/Sections/Me/TsUserBindViewModel.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsTextField.h"
#include "ui/Sections/Login-Oxla/OXBindEmailView.h"
#include "ui/Sections/Login/TsPhoneBindView.h"
#include "ui/Sections/Me/TsBindResultView.h"
#include "ui/Sections/Me/TsEditProfileWC.h"
#include "ui/Sections/Me/TsPreCodeView.h"

using gelmora::ui::L10n::text;
using gelmora::ui::test::waitFor;
using nlohmann::json;

namespace {

constexpr const char* kLinked = "/q5client/user/linked-sns";
constexpr const char* kUnbindSns = "/q5client/user/unbind-sns";
constexpr const char* kPhone = "13800000000";

class ProfileEditorTest : public me_test::MeFixture {
 protected:
  void SetUp() override {
    MeFixture::SetUp();
    screens.outsideAccountPage.set(
        [this](const gelmora::ui::OutsideAccountRequest& r, QWidget* parent) -> QWidget* {
          pages.push_back(r);
          return new QWidget(parent);
        });
  }
  void TearDown() override {
    editor.reset();
    model.reset();
    MeFixture::TearDown();
  }
  void open(bool phone = true) {
    signIn({{"uid", 5}, {"phone_number", phone ? kPhone : ""}, {"country_code", 86}});
    model = std::make_unique<TsUserBindViewModel>(user.get());
    TsEditProfileDependencies d;
    d.user = user.get();
    d.bind = model.get();
    d.alerts = alerts.alerts();
    d.screens = &screens;
    const size_t before = seen(kLinked);
    editor = std::make_unique<TsEditProfileWC>(d);
    editor->show();
    ASSERT_TRUE(waitFor([&] { return seen(kLinked) > before; }));
    settle();
  }
  // Lets answers in flight arrive.
  void settle() { QTest::qWait(150); }
  QString caption(QFrame* box) {
    return qobject_cast<QLabel*>(gelmora::ui::viewWithTag(box, 1))->text();
  }
  void refreshAndWait() {
    const size_t before = seen(kLinked);
    model->updateLinkedSNSInfo();
    ASSERT_TRUE(waitFor([&] { return seen(kLinked) > before; }));
    settle();
  }
  QAbstractButton* control(QFrame* box) {
    return qobject_cast<QAbstractButton*>(gelmora::ui::viewWithTag(box, 2));
  }

  std::unique_ptr<TsUserBindViewModel> model;
  std::unique_ptr<TsEditProfileWC> editor;
  std::vector<gelmora::ui::OutsideAccountRequest> pages;
};

TEST_F(ProfileEditorTest, RowsFollowTheBoundAccounts) {
  account.addAccount([] {
    standin::account::Account a;
    a.uid = 5;
    a.phone = kPhone;
    a.countryCode = "86";
    return a;
  }());
  account.linkProvider(5, "google", "Ann G");
  open();
  EXPECT_TRUE(editor->updatePhoneBox->isVisible());
  EXPECT_FALSE(editor->phoneBox->isVisible());
  EXPECT_EQ(editor->phone->text(), kPhone);
  EXPECT_EQ(editor->gg->text(), "Ann G");
  EXPECT_EQ(caption(editor->ggBox), text("unbind_button"));
  EXPECT_EQ(caption(editor->qqBox), text("go_bind_button"));
  EXPECT_EQ(editor->updatePhoneTF->text(), text("更换"));
  auto title = [&](int tag) {
    return qobject_cast<QLabel*>(gelmora::ui::viewWithTag(editor->contentView(), tag))->text();
  };
  EXPECT_EQ(title(102), "手机:");
  EXPECT_EQ(title(105), "微信:");
  // Every title shows: none lies under the rows.
  for (int tag = 100; tag <= 105; ++tag) {
    QWidget* label = gelmora::ui::viewWithTag(editor->contentView(), tag);
    const QPoint inside = label->mapTo(editor->contentView(), QPoint(10, label->height() / 2));
    EXPECT_EQ(editor->contentView()->childAt(inside), label) << tag;
  }
  EXPECT_EQ(title(100), text("personal_title"));
  EXPECT_EQ(title(104), text("bind_information_title"));
  EXPECT_TRUE(editor->eamilMaskView->isHidden());
  EXPECT_EQ(editor->preCodeView()->geometry(), QRect(175, 95, 450, 310));
  EXPECT_EQ(editor->resultView()->geometry(), QRect(175, 133, 450, 235));
}

TEST_F(ProfileEditorTest, WeChatRowHiddenOnlyWhenItIsTheOneWayIn) {
  open(false);
  account.linkProvider(5, "wechat", "wx");
  refreshAndWait();
  EXPECT_FALSE(editor->wcBox->isVisible());
  EXPECT_TRUE(editor->phoneBox->isVisible());
  EXPECT_FALSE(editor->updatePhoneBox->isVisible());
  account.linkProvider(5, "qq", "q");
  refreshAndWait();
  EXPECT_TRUE(editor->wcBox->isVisible());
}

TEST_F(ProfileEditorTest, SocialRowsUnlinkAfterAskingAndLinkThroughThePage) {
  const struct {
    QFrame* TsEditProfileWC::*box;
    const char* key;
  } rows[] = {{&TsEditProfileWC::wcBox, "wechat"},     {&TsEditProfileWC::facebookBox, "facebook"},
              {&TsEditProfileWC::insBox, "instagram"}, {&TsEditProfileWC::ggBox, "google"},
              {&TsEditProfileWC::ttBox, "twitter"},    {&TsEditProfileWC::qqBox, "qq"},
              {&TsEditProfileWC::lineBox, "line"},     {&TsEditProfileWC::kakaoBox, "kakao"}};
  open();
  for (const auto& r : rows) account.linkProvider(5, r.key, std::string("n-") + r.key);
  refreshAndWait();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.key);
    alerts.questions.clear();
    const size_t unbinds = seen(kUnbindSns);
    control(editor.get()->*r.box)->click();
    ASSERT_EQ(alerts.questions.size(), 1u);
    EXPECT_EQ(alerts.questions[0].message, text("sure_to_unbind"));
    settle();  // "cancel": nothing
    EXPECT_EQ(seen(kUnbindSns), unbinds);
    const size_t linked = seen(kLinked);
    alerts.questions[0].yes();
    ASSERT_TRUE(waitFor([&] { return seen(kLinked) > linked; }));
    std::optional<json> sent;
    for (const auto& q : account.requests())
      if (q.path == kUnbindSns) sent = q.info;
    ASSERT_TRUE(sent);
    EXPECT_EQ((*sent)["third_account_provider"], r.key);
    settle();
    EXPECT_EQ(caption(editor.get()->*r.box), text("go_bind_button"));
  }
  // Unbound: the bind page, embedded at (50, 50, 700, 500).
  control(editor->ggBox)->click();
  ASSERT_EQ(pages.size(), 1u);
  const std::string prefix = "http://" + account.host() +
                             "/auth/bind-third-account-redirect?third_account_provider=google"
                             "&platform=mac&logincode=";
  EXPECT_TRUE(pages[0].url.starts_with(prefix)) << pages[0].url;
  EXPECT_TRUE(pages[0].isBind);
  EXPECT_TRUE(pages[0].isView);
  ASSERT_TRUE(editor->bindPage());
  EXPECT_EQ(editor->bindPage()->geometry(), QRect(50, 50, 700, 500));
  EXPECT_EQ(editor->bindPage()->parentWidget(), editor->contentView());
}

TEST_F(ProfileEditorTest, EachClickResetsTheCheckAndOnlyModifyPhoneLeadsOn) {
  open();
  TsPreCodeView* check = editor->preCodeView();
  for (int tag : {99, 4}) {
    check->titleTF()->setText("old");
    check->model().lastSecond.setValue(12);
    editor->btnClick(tag);
    EXPECT_EQ(check->titleTF()->text(),
              text("我们已向当前手机号%@发送一条验证码").replace("%@", kPhone));
    EXPECT_EQ(check->model().lastSecond.value(), 0);
  }
  auto& center = platform::notifications::NotificationCenter::defaultCenter();
  check->show();
  center.post(TsUserVerifyPhoneSuccessNotification, std::string("UNBIND_PHONE"));
  EXPECT_TRUE(check->isVisible());
  EXPECT_FALSE(editor->bindView()->isVisible());
  center.post(TsUserVerifyPhoneSuccessNotification, std::string("MODIFY_PHONE"));
  EXPECT_FALSE(check->isVisible());
  EXPECT_TRUE(editor->bindView()->isVisible());
}

TEST_F(ProfileEditorTest, UnbindPhoneEndsSignedOut) {
  account.addAccount([] {
    standin::account::Account a;
    a.uid = 5;
    a.phone = kPhone;
    return a;
  }());
  open();
  ASSERT_TRUE(model->phoneBound);
  QTest::mouseClick(editor->unbindPhoneButton, Qt::LeftButton);
  TsPreCodeView* check = editor->preCodeView();
  EXPECT_TRUE(check->isVisible());
  EXPECT_EQ(check->type(), "UNBIND_PHONE");
  EXPECT_EQ(check->topTF()->text(), text("解绑手机号"));
  ASSERT_TRUE(waitFor([&] { return account.sentCode(kPhone).has_value(); }));
  QTest::keyClicks(check->codeTF()->textField(), QString::fromStdString(*account.sentCode(kPhone)));
  QTest::mouseClick(check->nextButton(), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return editor->resultView()->isVisible(); }));
  EXPECT_FALSE(check->isVisible());
  EXPECT_EQ(editor->resultView()->titleTF->text(), text("手机号解绑成功，请重新登录"));
  editor->resultView()->confirmButton->click();
  EXPECT_FALSE(editor->isVisible());
  EXPECT_EQ(user->status(), 0);
  EXPECT_FALSE(model->phoneBound);
  EXPECT_FALSE(model->boundInfo);
}

TEST_F(ProfileEditorTest, BoundEmailUnlinksAfterAsking) {
  account.addAccount([] {
    standin::account::Account a;
    a.uid = 5;
    a.email = "ann@b.test";
    return a;
  }());
  open(false);
  ASSERT_TRUE(model->emailBound);
  EXPECT_EQ(editor->mail->text(), "ann@b.test");
  editor->emailBindAction();
  ASSERT_EQ(alerts.questions.size(), 1u);
  alerts.questions[0].yes();
  ASSERT_TRUE(waitFor([&] { return !model->emailBound; }));
  std::optional<json> sent;
  for (const auto& q : account.requests())
    if (q.path == kUnbindSns) sent = q.info;
  ASSERT_TRUE(sent);
  EXPECT_EQ((*sent)["third_account_provider"], "email");
  // Not bound: the e-mail panel; the next report of the model closes it.
  editor->emailBindAction();
  EXPECT_TRUE(editor->bindEmailView()->isVisible());
  refreshAndWait();
  EXPECT_FALSE(editor->bindEmailView()->isVisible());
}

}  // namespace
