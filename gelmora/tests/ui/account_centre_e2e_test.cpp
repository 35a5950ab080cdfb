// The account centre on a real display (Xvfb) against the account and web stand-ins, driven with
// QTest only: the account page with two picture news (red, blue) from the web host, a drag of the
// carousel, the member centre with its privilege pictures; screenshots with probe pixels.
#include <QDir>
#include <QTest>

#include "MeTestSupport.h"
#include "standin/HttpStandin.h"
#include "standin/WebStandin.h"
#include "ui/General/Helper/ImageLoader.h"
#include "ui/Sections/Me/TsUserProfileViewController.h"

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

}  // namespace
