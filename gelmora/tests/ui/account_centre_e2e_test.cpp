// The account centre on a real display (Xvfb) against the account and web stand-ins, driven with
// QTest only: the account page with two picture news (red, blue) from the web host, a drag of the
// carousel, the member centre with its privilege pictures; then the profile editor opened from
// the page: a phone change, an outside account bound through the real outside-account page, and
// the phone unbound, which signs the user out. Screenshots with probe pixels.
#include <QDir>
#include <QTest>

#include "MeTestSupport.h"
#include "Tovra/REST/CurlTransport.h"
#include "app/Sections/Login/TsThirdLoginViewController.h"
#include "gelmora/Sections/Me/TsUserBindViewModel.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "platform/reactive/Scheduler.h"
#include "standin/HttpStandin.h"
#include "standin/WebStandin.h"
#include "ui/General/Helper/ImageLoader.h"
#include "ui/Kit/L10n.h"
#include "ui/Kit/TsTextField.h"
#include "ui/Sections/Login/NSPhoneBindSuccessView.h"
#include "ui/Sections/Login/TsLoginCodeTF.h"
#include "ui/Sections/Login/TsPhoneBindView.h"
#include "ui/Sections/Login/TsPhoneTextField.h"
#include "ui/Sections/Me/TsBindResultView.h"
#include "ui/Sections/Me/TsEditProfileWC.h"
#include "ui/Sections/Me/TsPreCodeView.h"
#include "ui/Sections/Me/TsUserProfileViewController.h"

using gelmora::ui::L10n::text;
using gelmora::ui::test::waitFor;
using nlohmann::json;

namespace {

bool near(QColor a, QColor b, int tolerance = 6) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

QString screenshotDir() {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  return dir.isEmpty() ? QDir::currentPath() + "/screenshots" : QString::fromLocal8Bit(dir);
}

QImage save(QWidget* w, const char* name) {
  const QImage shot = w->grab().toImage();
  QDir().mkpath(screenshotDir());
  EXPECT_TRUE(shot.save(screenshotDir() + "/" + name));
  return shot;
}

class AccountCentreE2ETest : public me_test::MeFixture {
 protected:
  void SetUp() override {
    MeFixture::SetUp();
    ASSERT_TRUE(web.start());
    setHosts(account.host(), web.hostPort());
    using standin::WebStandin;
    WebStandin::addFile(web, "/news/red.png", WebStandin::solidPng(45, 20, 220, 30, 30),
                        "image/png");
    WebStandin::addFile(web, "/news/blue.png", WebStandin::solidPng(45, 20, 30, 30, 220),
                        "image/png");
    WebStandin::addFile(web, "/img/green.png", WebStandin::solidPng(8, 8, 30, 200, 30),
                        "image/png");
  }
  void TearDown() override {
    page.reset();
    web.stop();
    MeFixture::TearDown();
  }

  standin::HttpStandin web;
  gelmora::ui::ImageLoader images;
  std::unique_ptr<TsUserProfileViewController> page;
};

TEST_F(AccountCentreE2ETest, AccountPageCarouselAndMemberCentre) {
  const std::string base = web.baseUrl();
  user->setPictureNews(json::array({{{"image", base + "/news/red.png"}, {"url", ""}},
                                    {{"image", base + "/news/blue.png"}, {"url", ""}}}));
  signIn({{"uid", 5},
          {"nick_name", "Ann"},
          {"package_name", "Gold"},
          {"product_id", 3},
          {"expire_date", "2030-01-01 10:00:00"},
          {"expired_and_pause_status", 3}});
  account.scriptPayloads("/q5client/package/privilege",
                         {json{{"flow_size", "100G"},
                               {"mobile_limit", "2"},
                               {"desktop_limit", "3"},
                               {"images", {{{"image", "/img/green.png"}, {"name", "Speed"}}}}}});
  TsUserProfileDependencies d;
  d.user = user.get();
  d.defaults = defaults.get();
  d.vpnStatus = [] { return 1LL; };
  d.memberPage = [] {};
  d.alerts = alerts.alerts();
  d.screens = &screens;
  d.images = &images;
  d.version = [] { return std::optional<std::string>("1.0.0"); };
  page = std::make_unique<TsUserProfileViewController>(d);
  page->resize(850, 600);
  page->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(page.get()));
  auto* carousel = page->specView()->carousel;
  auto* red = qobject_cast<QLabel*>(carousel->itemViewAtIndex(0));
  auto* blue = qobject_cast<QLabel*>(carousel->itemViewAtIndex(1));
  ASSERT_TRUE(red && blue);
  ASSERT_TRUE(waitFor([&] { return !red->pixmap().isNull() && !blue->pixmap().isNull(); }));

  const QPoint centre = carousel->geometry().center();
  QImage shot = save(page.get(), "account_page.png");
  EXPECT_TRUE(near(shot.pixelColor(5, 5), QColor(31, 29, 50)))
      << shot.pixelColor(5, 5).name().toStdString();
  EXPECT_TRUE(near(shot.pixelColor(centre), QColor(220, 30, 30)))
      << shot.pixelColor(centre).name().toStdString();

  // A drag to the left brings the blue picture to the middle.
  const QPoint c = carousel->rect().center();
  QTest::mousePress(carousel, Qt::LeftButton, Qt::NoModifier, c);
  for (int step = 1; step <= 5; ++step) QTest::mouseMove(carousel, c - QPoint(60 * step, 0));
  QTest::mouseRelease(carousel, Qt::LeftButton, Qt::NoModifier, c - QPoint(300, 0));
  ASSERT_TRUE(waitFor([&] { return !carousel->isScrolling(); }));
  shot = save(page.get(), "account_page_dragged.png");
  EXPECT_TRUE(near(shot.pixelColor(centre), QColor(30, 30, 220)))
      << shot.pixelColor(centre).name().toStdString();

  // The member centre, with its first privilege picture from the web host.
  QTest::mouseClick(page->specView()->vipButton, Qt::LeftButton);
  TsUserCenterWC* centreWindow = page->vipWC();
  ASSERT_TRUE(centreWindow);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(centreWindow));
  auto* slot0 = qobject_cast<QLabel*>(gelmora::ui::viewWithTag(centreWindow, 100));
  ASSERT_TRUE(slot0);
  ASSERT_TRUE(waitFor([&] { return !slot0->pixmap().isNull(); }));
  ASSERT_TRUE(waitFor([&] { return centreWindow->mbsTF->text() == "100G"; }));
  shot = save(centreWindow, "member_centre.png");
  const QPoint slotCentre = slot0->mapTo(centreWindow, slot0->rect().center());
  EXPECT_TRUE(near(shot.pixelColor(slotCentre), QColor(30, 200, 30)))
      << shot.pixelColor(slotCentre).name().toStdString();
}

// The service's pages (the outside-account bind page among them) on the web stand-in; the
// account service's requests still go to the account stand-in.
class BindPageEnvironment : public me_test::HostsEnvironment {
 public:
  BindPageEnvironment(const std::string& service, const std::string& web)
      : HostsEnvironment(service, web) {
    assign("Q5ServiceDomain", web);
  }
};

TEST_F(AccountCentreE2ETest, ProfileEditorChangesPhoneBindsAndUnbinds) {
  constexpr const char* kOld = "13800000000";
  constexpr const char* kNew = "13900000000";
  constexpr const char* kCodePath = "/api/phone/verify-code";
  AppEnvironment::setCurrentEnvironment(
      std::make_shared<BindPageEnvironment>(account.host(), web.hostPort()));
  standin::WebStandin::addBindThirdAccountPage(web, account);
  standin::account::Account a;
  a.uid = 5;
  a.username = "ann";
  a.phone = kOld;
  a.countryCode = "86";
  account.addAccount(a);
  signIn({{"uid", 5}, {"username", "ann"}, {"phone_number", kOld}, {"country_code", 86}});

  // The real outside-account page, on this test's user.
  MeasurementProtocolClient::Configuration config;  // no property: no hits
  TsAnalyticsService analytics(
      *defaults, *user,
      std::make_unique<MeasurementProtocolClient>(std::move(config), tq::CurlTransport::shared()),
      std::make_shared<platform::reactive::TestScheduler>(), "h");
  std::vector<std::string> pageAlerts;
  screens.outsideAccountPage.set(
      [&](const gelmora::ui::OutsideAccountRequest& r, QWidget* host) -> QWidget* {
        TsThirdLoginHandler::Collaborators c;
        c.user = user.get();
        c.analytics = &analytics;
        c.defaults = defaults.get();
        c.alert = [&](const std::string& t, const std::string& m) { pageAlerts.push_back(t + m); };
        return TsThirdLoginViewController::open(r, host, std::move(c));
      });

  TsUserBindViewModel model(user.get());
  TsUserProfileDependencies d;
  d.user = user.get();
  d.defaults = defaults.get();
  d.vpnStatus = [] { return 1LL; };
  d.memberPage = [] {};
  d.alerts = alerts.alerts();
  d.screens = &screens;
  d.images = &images;
  d.version = [] { return std::optional<std::string>("1.0.0"); };
  d.makeEditor = [&]() -> QWidget* {
    TsEditProfileDependencies e;
    e.user = user.get();
    e.bind = &model;
    e.alerts = alerts.alerts();
    e.screens = &screens;
    return new TsEditProfileWC(e);
  };
  page = std::make_unique<TsUserProfileViewController>(d);
  // The page (with the editor it keeps) goes before the model and the analytics it uses.
  struct PageGone {
    std::unique_ptr<TsUserProfileViewController>& page;
    ~PageGone() { page.reset(); }
  } pageGone{page};
  page->resize(850, 600);
  page->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(page.get()));

  // Edit: the editor window, its rows from the account stand-in.
  QTest::mouseClick(page->specView()->editButton, Qt::LeftButton);
  auto* editor = qobject_cast<TsEditProfileWC*>(page->editWC());
  ASSERT_TRUE(editor);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(editor));
  ASSERT_TRUE(waitFor([&] { return model.phoneBound; }));
  EXPECT_TRUE(editor->updatePhoneBox->isVisible());
  auto control = [](QFrame* box) {
    return qobject_cast<QAbstractButton*>(gelmora::ui::viewWithTag(box, 2));
  };
  auto caption = [](QFrame* box) {
    return qobject_cast<QLabel*>(gelmora::ui::viewWithTag(box, 1))->text();
  };

  // Change phone: a code to the present number, typed, then the new number's panel.
  size_t codes = seen(kCodePath);
  QTest::mouseClick(control(editor->updatePhoneBox), Qt::LeftButton);
  TsPreCodeView* check = editor->preCodeView();
  ASSERT_TRUE(check->isVisible());
  EXPECT_EQ(check->type(), "MODIFY_PHONE");
  ASSERT_TRUE(waitFor([&] { return seen(kCodePath) > codes && account.sentCode(kOld); }));
  QTest::keyClicks(check->codeTF()->textField(), QString::fromStdString(*account.sentCode(kOld)));
  // The count-down shows on the code button, its colours settled.
  ASSERT_TRUE(waitFor([&] {
    const DRFlatButton* code = check->codeTF()->codeBtn();
    const QString t = code->title();
    return !t.isEmpty() && t.front().isDigit() && t.endsWith('s') && code->runningAnimations() == 0;
  }));
  QImage shot = save(editor, "pre_code_view.png");
  const QPoint checkCorner = check->mapTo(editor, QPoint(4, 4));
  EXPECT_TRUE(near(shot.pixelColor(checkCorner), QColor(42, 38, 66)))
      << shot.pixelColor(checkCorner).name().toStdString();
  ASSERT_TRUE(waitFor([&] { return check->nextButton()->isEnabled(); }));
  QTest::mouseClick(check->nextButton(), Qt::LeftButton);
  TsPhoneBindView* panel = editor->bindView();
  ASSERT_TRUE(waitFor([&] { return panel->isVisible(); }));
  EXPECT_FALSE(check->isVisible());

  QTest::keyClicks(panel->phoneTextField()->textField(), kNew);
  codes = seen(kCodePath);
  ASSERT_TRUE(waitFor([&] { return panel->codeTextField()->codeBtn()->isEnabled(); }));
  QTest::mouseClick(panel->codeTextField()->codeBtn(), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return seen(kCodePath) > codes && account.sentCode(kNew); }));
  QTest::keyClicks(panel->codeTextField()->textField(),
                   QString::fromStdString(*account.sentCode(kNew)));
  ASSERT_TRUE(waitFor([&] { return panel->confirmButton()->isEnabled(); }));
  QTest::mouseClick(panel->confirmButton(), Qt::LeftButton);
  NSPhoneBindSuccessView* notice = editor->bindsuccessView();
  ASSERT_TRUE(waitFor([&] { return notice->isVisible(); }));
  EXPECT_FALSE(panel->isVisible());
  EXPECT_TRUE(notice->noticeLabel()->text().contains(kNew));
  EXPECT_EQ(account.accountByUid(5)->phone, kNew);
  QTest::mouseClick(notice->confirmButton(), Qt::LeftButton);
  EXPECT_FALSE(notice->isVisible());
  ASSERT_TRUE(waitFor([&] { return editor->phone->text() == kNew; }));

  // Google: the service's bind page links it for this account; the row then reads bound.
  ASSERT_FALSE(model.googleBound);
  QTest::mouseClick(control(editor->ggBox), Qt::LeftButton);
  ASSERT_TRUE(editor->bindPage());
  EXPECT_EQ(editor->bindPage()->geometry(), QRect(50, 50, 700, 500));
  ASSERT_TRUE(waitFor([&] { return caption(editor->ggBox) == text("unbind_button"); }, 30000))
      << caption(editor->ggBox).toStdString();
  EXPECT_TRUE(pageAlerts.empty());
  EXPECT_EQ(editor->gg->text(), "google-5");
  EXPECT_TRUE(waitFor([&] { return !editor->bindPage(); }));
  EXPECT_EQ(user->uid(), std::optional<int64_t>(5));
  save(editor, "bind_page.png");

  // Unbind the phone: a code to the new number, the result panel, then signed out.
  codes = seen(kCodePath);
  QTest::mouseClick(editor->unbindPhoneButton, Qt::LeftButton);
  ASSERT_TRUE(check->isVisible());
  EXPECT_EQ(check->type(), "UNBIND_PHONE");
  ASSERT_TRUE(waitFor([&] { return seen(kCodePath) > codes; }));
  std::optional<json> sent;
  for (const auto& r : account.requests())
    if (r.path == kCodePath) sent = r.info;
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->value("phone", ""), kNew);
  EXPECT_EQ(sent->value("type", ""), "UNBIND_PHONE");
  QTest::keyClicks(check->codeTF()->textField(), QString::fromStdString(*account.sentCode(kNew)));
  ASSERT_TRUE(waitFor([&] { return check->nextButton()->isEnabled(); }));
  QTest::mouseClick(check->nextButton(), Qt::LeftButton);
  TsBindResultView* result = editor->resultView();
  ASSERT_TRUE(waitFor([&] { return result->isVisible(); }));
  EXPECT_FALSE(check->isVisible());
  EXPECT_TRUE(account.accountByUid(5)->phone.empty());
  shot = save(editor, "bind_result.png");
  // Near its left edge, above the section title's gap under it (the rows have the panel's
  // colour, the gap the window's).
  const QPoint resultCorner = result->mapTo(editor, QPoint(4, 110));
  EXPECT_TRUE(near(shot.pixelColor(resultCorner), QColor(42, 38, 66)))
      << shot.pixelColor(resultCorner).name().toStdString();
  QTest::mouseClick(result->confirmButton, Qt::LeftButton);
  EXPECT_FALSE(editor->isVisible());
  EXPECT_EQ(user->status(), 0);
  EXPECT_FALSE(model.phoneBound);
  EXPECT_FALSE(model.googleBound);
  EXPECT_FALSE(model.boundInfo);
}

}  // namespace
