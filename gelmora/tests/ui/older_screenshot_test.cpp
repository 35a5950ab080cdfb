// The older windows under a real X server: saves older-*.png for a person to look at and checks
// that each is not flat and that its Chinese labels were drawn.
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <set>

#include "LegacyUiTestSupport.h"
#include "ui/Legacy/FlowDetailWindow.h"
#include "ui/Legacy/LoginWindow.h"
#include "ui/Legacy/MainWindow.h"
#include "ui/Legacy/WelcomeWindow.h"

namespace gelmora::ui::test {
namespace {

using F = FakeLegacyServices;
using json = nlohmann::json;

QString screenshotDir() {
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  return dir.isEmpty() ? QDir::currentPath() + "/screenshots" : QString::fromLocal8Bit(dir);
}

QImage save(QWidget* w, const char* name) {
  // Pending layout requests first (labels whose text just changed).
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  QImage shot = w->grab().toImage();
  QDir().mkpath(screenshotDir());
  EXPECT_TRUE(shot.save(screenshotDir() + "/" + name));
  // Not flat: many colours.
  std::set<QRgb> colours;
  for (int y = 0; y < shot.height(); y += 3) {
    for (int x = 0; x < shot.width(); x += 3) colours.insert(shot.pixel(x, y));
  }
  EXPECT_GT(colours.size(), 20u) << name;
  return shot;
}

// The label's area holds text pixels: some far from the area's most common colour.
void expectText(QWidget* window, const QImage& shot, const char* label) {
  auto* l = window->findChild<QLabel*>(label);
  ASSERT_NE(l, nullptr) << label;
  ASSERT_FALSE(l->text().isEmpty()) << label;
  QRect r(l->mapTo(window, QPoint(0, 0)), l->size());
  r = r.intersected(shot.rect());
  std::map<QRgb, int> counts;
  for (int y = r.top(); y <= r.bottom(); ++y) {
    for (int x = r.left(); x <= r.right(); ++x) ++counts[shot.pixel(x, y)];
  }
  QRgb bg = 0;
  int most = 0;
  for (auto [c, n] : counts) {
    if (n > most) most = n, bg = c;
  }
  int ink = 0;
  for (auto [c, n] : counts) {
    int d = std::abs(qRed(c) - qRed(bg)) + std::abs(qGreen(c) - qGreen(bg)) +
            std::abs(qBlue(c) - qBlue(bg));
    if (d > 150) ink += n;
  }
  EXPECT_GT(ink, 15) << label << " " << l->text().toStdString();
}

class OlderScreenshotTest : public LegacyUiTest {};

TEST_F(OlderScreenshotTest, WelcomeAndLoginForms) {
  services.hold("startup");
  WelcomeWindow welcome(ctx);
  welcome.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&welcome));
  advance(std::chrono::milliseconds(600));
  QImage shot = save(&welcome, "older-welcome.png");
  expectText(&welcome, shot, "labelTitle");
  expectText(&welcome, shot, "labelLoading");
  services.release("startup");
  ASSERT_TRUE(settle([&] { return welcome.loginWindow() != nullptr; }));

  LoginWindow::resetVerificationTimes();
  LoginWindow login(ctx);
  login.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&login));
  login.findChild<QLineEdit*>("labelPhoneNumber")->setText("13800000000");
  shot = save(&login, "older-login.png");
  expectText(&login, shot, "loginlogo");
  expectText(&login, shot, "labelLogin");
  for (int i = 0; i < 3; ++i) {
    login.OnGetVerificationClick();
    ASSERT_TRUE(settle([&] { return login.countdownRunning(); }));
    if (i < 2) advance(std::chrono::seconds(60));
  }
  login.OnGetVerificationClick();  // the fourth: the picture form
  ASSERT_EQ(login.loginType(), 2);
  QCoreApplication::processEvents();
  shot = save(&login, "older-login-picture.png");
  expectText(&login, shot, "B_labelLogin");
}

TEST_F(OlderScreenshotTest, MainWindowStatesFlowDetailAndPopup) {
  TsParamsDirectory::setNSDictionaryValue(
      "login_data", json{{"code", 0},
                         {"data",
                          {{"username", "玩家一号"},
                           {"uid", 10086},
                           {"package_name", "黄金套餐"},
                           {"expire_date", "2027-06-30"},
                           {"formatted_rest_traffic", "35.20G"},
                           {"route", "华东专线"},
                           {"bandwidth", "20M"},
                           {"expired_and_pause_status", 3},
                           {"traffic_info",
                            {{"last_traffic", {{"total", 10}, {"used", 2.5}}},
                             {"this_traffic", {{"total", 50}, {"used", 30}}},
                             {"extra_traffic", {{"total", 5}, {"used", 0}}},
                             {"info", {{"unit", "G"}, {"msg", "流量每月1日重置"}}}}}}}});
  MainWindow w(ctx);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QImage shot = save(&w, "older-main-idle.png");
  expectText(&w, shot, "labelStartspeedContent");
  expectText(&w, shot, "labelPacketType");

  services.hold("getRules");
  w.OnStartspeedClick();
  ASSERT_TRUE(runUntil([&] { return w.findChild<QLabel*>("labelSpeedProgress")->text() == "30"; }));
  shot = save(&w, "older-main-starting.png");
  expectText(&w, shot, "labelSpeedProgress");
  services.release("getRules");
  ASSERT_TRUE(runUntil([&] { return w.currentTab() == "speed_sucessful"; }));
  services.setTotals(2560, 3000000);
  advance(std::chrono::seconds(1));
  shot = save(&w, "older-main-running.png");
  expectText(&w, shot, "labelSpeedOk");
  expectText(&w, shot, "labelDownFlowSoze");

  w.OnLeftMineClick();
  QCoreApplication::processEvents();
  shot = save(&w, "older-main-userinfo.png");
  expectText(&w, shot, "labelUserName");
  expectText(&w, shot, "labelLineLevel");

  FlowDetailA detail;
  detail.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&detail));
  shot = save(&detail, "older-flow-detail-a.png");
  expectText(&detail, shot, "labelLastTrfficUsed");
  expectText(&detail, shot, "labelErrorMessage");

  // A pop-up as the Qt sheet shows it.
  LegacySheets::qt().show(&w, LegacySheet{QStringLiteral("活动通知"),
                                          QStringLiteral("充值送加速时长，详情请看活动页面"),
                                          {QStringLiteral("去充值"), QStringLiteral("以后再说")},
                                          true,
                                          {}});
  QMessageBox* box = nullptr;
  ASSERT_TRUE(settle([&] {
    box = w.findChild<QMessageBox*>();
    return box && box->isVisible();
  }));
  EXPECT_TRUE(QTest::qWaitForWindowExposed(box));
  QCoreApplication::processEvents();
  shot = save(box, "older-popup.png");
  expectText(box, shot, "qt_msgbox_label");
  expectText(box, shot, "qt_msgbox_informativelabel");
  box->close();
  w.OnStopSpeedClick(false);
  settle([&] { return services.count("stopSpeed") == 1; });
}

}  // namespace
}  // namespace gelmora::ui::test
