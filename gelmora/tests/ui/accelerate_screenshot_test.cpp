// The acceleration screen and the line choice under a real X server: saves
// accelerate-fake-{idle,starting,accelerated}.png (fake controller) and line-choice.png
// for a person to look at, and checks probe pixels.
#include <QDir>

#include "AccelerateTestSupport.h"
#include "gelmora/Sections/Line/HLNetLineNodeManage.h"
#include "ui/Application/ScreenRegistry.h"
#include "ui/Kit/TsFlatButton.h"
#include "ui/Sections/Accelerate/TsAccelerateViewController.h"
#include "ui/Sections/Line/HLChooseLineCell.h"
#include "ui/Sections/Line/HLChooseLineVC.h"

using gelmora::ui::test::waitFor;
using V = TsAccelerateView;

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

class AccelerateScreenshotTest : public AccelerateFixture {};

TEST_F(AccelerateScreenshotTest, IdleStartingAccelerated) {
  signIn({{"uid", 5}, {"rest_traffic", 1536}});
  chooseLine(5, "Japan-Tokyo");
  defaults->setDefaultsNetNode(defaults->selectedNetNode());
  gelmora::ui::ScreenRegistry screens;
  TsAccelerateDependencies d;
  d.vpn = &vpn;
  d.user = user.get();
  d.defaults = defaults.get();
  d.analytics = [](std::string_view) {};
  auto v = viewDependencies();
  d.geo = v.geo;
  d.strip = v.strip;
  d.screens = &screens;
  vpn.mode = FakeAccelerationController::StartMode::Later;
  TsAccelerateViewController screen(d);
  screen.resize(850, 600);
  screen.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));

  const QImage idle = save(&screen, "accelerate-fake-idle.png");
  EXPECT_TRUE(near(idle.pixelColor(425, 350), QColor(0x1B, 0x19, 0x2A)))
      << idle.pixelColor(425, 350).name().toStdString();
  EXPECT_TRUE(near(idle.pixelColor(340, 512), QColor(0xFB, 0x16, 0x58)))
      << idle.pixelColor(340, 512).name().toStdString();
  // The lit ring: blue at the top, magenta at the bottom (probe the middle of a tick).
  auto tickColor = [&](const QImage& img, int y) {
    QColor best(0, 0, 0);
    for (int x = 420; x <= 430; ++x) {
      QColor c = img.pixelColor(x, y);
      if (c.red() + c.blue() > best.red() + best.blue()) best = c;
    }
    return best;
  };
  const QColor top = tickColor(idle, 100 + 25), bottom = tickColor(idle, 400 - 25);
  EXPECT_GT(top.blue(), top.red()) << top.name().toStdString();
  EXPECT_GT(bottom.red(), bottom.blue()) << bottom.name().toStdString();

  screen.specView()->goButton()->click();
  ASSERT_TRUE(waitFor([&] { return screen.specView()->percent() >= 0.3; }));
  const QImage starting = save(&screen, "accelerate-fake-starting.png");
  // The disabled button is drawn at half opacity over the background.
  const QColor half = starting.pixelColor(340, 512);
  EXPECT_LT(half.red(), 0xFB - 40) << half.name().toStdString();
  EXPECT_GT(half.red(), 0x1F + 40) << half.name().toStdString();

  vpn.setStatus(3, false);
  vpn.completePending();
  ASSERT_TRUE(waitFor([&] { return !screen.specView()->finishView()->isHidden(); }));
  ASSERT_TRUE(waitFor([&] { return geoLookups == 1; }));
  geo.sendNext({std::nullopt, std::nullopt, "Japan", "Tokyo"});
  QTest::qWait(50);
  const QImage accelerated = save(&screen, "accelerate-fake-accelerated.png");
  int white = 0;
  for (int x = 360; x <= 500; ++x)
    for (int y = 255; y <= 285; ++y) white += accelerated.pixelColor(x, y).lightness() > 200;
  EXPECT_GT(white, 20);
}

TEST_F(AccelerateScreenshotTest, LineChoice) {
  gelmora::ui::ScreenRegistry screens;
  HLChooseLineDependencies d;
  d.manager = [this] {
    return std::make_unique<HLNetLineNodeManage>(*defaults, [] { return std::nullopt; });
  };
  d.vpnStatus = [] { return 1LL; };
  d.user = user.get();
  d.screens = &screens;
  HLChooseLineVC screen(d);
  auto answer = tq::fromDictionary<JVX_RESP_RULE_GET_EXIT_SET>(
      {{"list",
        {{{"area_id", 1}, {"country", "Japan"}, {"city", "Tokyo"}, {"country_id", 1}},
         {{"area_id", 2}, {"country", "Korea"}, {"city", "Seoul"}, {"country_id", 2}},
         {{"area_id", 3},
          {"country", "USA"},
          {"city", "LA"},
          {"country_id", 3},
          {"lock", "Gold"}}}}});
  ASSERT_TRUE(answer);
  screen.nodesManage().applyAnswer(*answer);
  screen.reloadTable();
  screen.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
  QTest::qWait(50);
  const QImage shot = save(&screen, "line-choice.png");
  auto* cell =
      qobject_cast<HLChooseLineCell*>(screen.tableView()->itemWidget(screen.tableView()->item(0)));
  ASSERT_TRUE(cell);
  const QRect title(cell->titleTF()->mapTo(&screen, QPoint(0, 0)), cell->titleTF()->size());
  int chosen = 0;
  for (int x = title.left(); x <= title.right(); ++x)
    for (int y = title.top(); y <= title.bottom(); ++y)
      chosen += near(shot.pixelColor(x, y), QColor(0x82, 0x7B, 0xFF), 30);
  EXPECT_GT(chosen, 5);
}

}  // namespace
