// The outside-account page in the web engine under a real X server, served by web stand-ins:
// what the page's script gets, who gets signed in, and pages of other hosts.
#include <gtest/gtest.h>

#include <QPointer>
#include <QTest>
#include <fstream>
#include <sstream>

#include "../TestSupport.h"
#include "../ui/UiTestSupport.h"
#include "JolvexAPI/JolvexAPI.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "Tovra/REST/CurlTransport.h"
#include "app/Sections/Login/TsThirdLoginViewController.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/AppUserDefaults.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Services/TsAnalyticsService.h"
#include "platform/keychain/FileBackend.h"
#include "platform/keychain/Keychain.h"
#include "platform/reactive/Scheduler.h"
#include "standin/AccountServer.h"
#include "standin/HttpStandin.h"
#include "standin/WebStandin.h"

using gelmora::ui::test::waitFor;
using nlohmann::json;

namespace {

class BrandEnvironment : public AppEnvironment {
 public:
  void setWebDomain(std::string host) { assign("WebDomain", std::move(host)); }
};

std::string readPage(const std::string& name) {
  std::ifstream in(std::string(STANDIN_WEB_PAGES) + "/auth/" + name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ThirdLoginPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TQAPIConfig::sharedInstance().reset();
    platform::keychain::installBackend(
        std::make_shared<platform::keychain::FileBackend>(tmp.path() / "keychain.json"));
    ASSERT_TRUE(account.start());
    set_JVXDomain(account.host());
    set_JVXFDDomain(account.host());
    for (auto* web : {&brandWeb, &otherWeb}) {
      ASSERT_TRUE(web->start());
      standin::WebStandin::addFile(*web, "/auth/third-account-login-for-mac",
                                   readPage("third-account-login-for-mac"), "text/html");
    }
    env = std::make_shared<BrandEnvironment>();
    env->setWebDomain("127.0.0.1:" + std::to_string(brandWeb.port()));
    previousEnv = AppEnvironment::currentEnvironment();
    AppEnvironment::setCurrentEnvironment(env);
    store = std::make_shared<platform::defaults::Store>(tmp.path() / "defaults.json");
    defaults = std::make_unique<AppUserDefaults>(store);
    defaults->setClientIdProvider([] { return std::string("CID"); });
    user = std::make_unique<TsUserController>(
        *defaults, std::make_shared<platform::reactive::TestScheduler>());
    MeasurementProtocolClient::Configuration config;  // no property: no hits
    analytics = std::make_unique<TsAnalyticsService>(
        *defaults, *user,
        std::make_unique<MeasurementProtocolClient>(std::move(config), tq::CurlTransport::shared()),
        std::make_shared<platform::reactive::TestScheduler>(), "h");
    host.resize(950, 600);
    host.show();
  }
  void TearDown() override {
    if (page) {
      QWidget* top = page->window();
      if (top == &host)
        delete page.data();
      else
        delete top;
    }
    analytics.reset();
    user.reset();
    AppEnvironment::setCurrentEnvironment(previousEnv);
    TQAPIConfig::sharedInstance().reset();
    account.stop();
  }

  TsThirdLoginViewController* open(const std::string& url, bool isBind = false,
                                   bool isView = false) {
    TsThirdLoginHandler::Collaborators c;
    c.user = user.get();
    c.analytics = analytics.get();
    c.defaults = defaults.get();
    c.alert = [this](const std::string& t, const std::string&) { alerts.push_back(t); };
    page = TsThirdLoginViewController::open({url, isBind, isView}, &host, std::move(c));
    return page.data();
  }
  QString run(const QString& script) {
    QString out;
    bool done = false;
    page->page()->runJavaScript(script, [&](const QVariant& v) {
      out = v.toString();
      done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done || !page; }, 10000));
    return out;
  }
  std::string loginPath(const standin::HttpStandin& web) {
    return "http://127.0.0.1:" + std::to_string(web.port()) +
           "/auth/third-account-login-for-mac?third_account_provider=line";
  }

  TempDir tmp;
  standin::account::AccountServer account;
  standin::HttpStandin brandWeb, otherWeb;
  std::shared_ptr<BrandEnvironment> env;
  std::shared_ptr<AppEnvironment> previousEnv;
  std::shared_ptr<platform::defaults::Store> store;
  std::unique_ptr<AppUserDefaults> defaults;
  std::unique_ptr<TsUserController> user;
  std::unique_ptr<TsAnalyticsService> analytics;
  QWidget host;
  QPointer<TsThirdLoginViewController> page;
  std::vector<std::string> alerts;
};

TEST_F(ThirdLoginPageTest, BrandPageGetsTheClientAndSignsIn) {
  open(loginPath(brandWeb));
  QString info;
  ASSERT_TRUE(waitFor(
      [&] {
        info = run("document.getElementById('info').textContent");
        return !info.isEmpty();
      },
      20000));
  json answer = json::parse(info.toStdString(), nullptr, false);
  ASSERT_TRUE(answer.is_object());
  EXPECT_EQ(answer.size(), 5u);
  EXPECT_EQ(answer["system"], "macOS");
  bool recorded = false;
  for (const auto& r : brandWeb.requests())
    recorded |=
        r.path == "/auth/third-account-login-for-mac" && r.query == "third_account_provider=line";
  EXPECT_TRUE(recorded);

  // One web page load per process: the sheet's screenshot is taken here.
  QWidget* sheet = page->window();
  ASSERT_NE(sheet, &host);
  EXPECT_TRUE(sheet->isModal() || sheet->windowModality() == Qt::WindowModal);
  QImage img;
  // The page is drawn by the engine a little after it loaded.
  ASSERT_TRUE(waitFor(
      [&] {
        img = page->grab().toImage();
        return img.pixelColor(400, 275) == QColor(0x33, 0x66, 0x99);
      },
      10000))
      << img.pixelColor(400, 275).name().toStdString();
  const QByteArray dir = qgetenv("GELMORA_SCREENSHOT_DIR");
  if (!dir.isEmpty()) img.save(QString::fromLocal8Bit(dir) + "/third_login_sheet.png");
  EXPECT_EQ(img.size(), QSize(800, 550));
  EXPECT_EQ(img.pixelColor(745, 513), QColor(Qt::white));

  json account = {{"uid", 77},           {"username", "kim"}, {"real_name_verification", 1},
                  {"account_status", 1}, {"expired", 0},      {"auto_login_token", "T-9"}};
  run(QString("sendLogin(%1)")
          .arg(QString::fromStdString(json(json{{"code", 0}, {"data", account}}.dump()).dump())));
  ASSERT_TRUE(waitFor([&] { return user->status() == TsUserStatusNormal; }, 10000));
  EXPECT_EQ(defaults->thirdLoginToken(), std::optional<std::string>("T-9"));
  EXPECT_TRUE(waitFor([&] { return page.isNull(); }));
}

TEST_F(ThirdLoginPageTest, EmptyAddressShowsThePlaceholderAndCompletedCloses) {
  open("", true, true);
  EXPECT_EQ(page->parentWidget(), &host);
  EXPECT_EQ(page->geometry(), QRect(50, 50, 700, 500));
  EXPECT_TRUE(
      waitFor([&] { return page->page()->url().toString() == "qrc:/web/test.html"; }, 10000))
      << page->page()->url().toString().toStdString();
  EXPECT_TRUE(waitFor([&] { return run("document.title") == "test"; }, 10000));
  // The placeholder is no brand page: the bridge answers nothing and signs nobody in.
  run("WebViewJavascriptBridge.callHandler('getClientInfo', function (a) { document.title = a; });"
      "WebViewJavascriptBridge.callHandler('userLoginSuccess',"
      "  JSON.stringify({code: 0, data: {uid: 5, real_name_verification: 1}}));");
  QTest::qWait(300);  // a refused call has no event to wait for
  EXPECT_EQ(run("document.title"), "test");
  EXPECT_EQ(user->status(), TsUserStatusNone);
  EXPECT_FALSE(page.isNull());
  QTest::mouseClick(page->finishButton(), Qt::LeftButton);
  EXPECT_TRUE(waitFor([&] { return page.isNull(); }));
}

}  // namespace
