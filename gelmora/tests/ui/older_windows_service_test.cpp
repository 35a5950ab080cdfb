// The older windows over the production older service layer against the older service stand-in
// on loopback: start-up, token sign-in, the main window's account panel, a heartbeat carrying
// account values, and the sign-out when going back to the login window.
#include <QLabel>

#include "LegacyUiTestSupport.h"
#include "Tovra/Base/TQAPIConfig.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Web/TsHttpHelper.h"
#include "standin/OlderService.h"
#include "ui/Legacy/MainWindow.h"
#include "ui/Legacy/WelcomeWindow.h"

namespace gelmora::ui::test {
namespace {

using json = nlohmann::json;

// No public address lookup: only loopback is reached.
class LoopbackEnvironment : public AppEnvironment {
 public:
  LoopbackEnvironment() { assign(kIPEchoURL, ""); }
};

class OlderWindowsServiceTest : public LegacyUiTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start());
    TQAPIConfig::sharedInstance().setConfigValue(service.address(), "JVXDomain");
    AppEnvironment::setCurrentEnvironment(std::make_shared<LoopbackEnvironment>());
    TsParams::resetLoginValues();
    TsHttpHelper::setTimeoutInterval(std::chrono::seconds(5));
    ctx.services = nullptr;  // the production older service layer
  }
  void TearDown() override {
    service.stop();
    TsHttpHelper::setTimeoutInterval(std::chrono::seconds(15));
  }
  size_t requests(const std::string& path) {
    size_t n = 0;
    for (const auto& r : service.requests()) n += r.path == path ? 1 : 0;
    return n;
  }
  standin::OlderService service;
};

TEST_F(OlderWindowsServiceTest, StartupTokenSignInHeartbeatAndSignOut) {
  service.setAnswer("/q5client/parameters/startup",
                    json{{"code", 0},
                         {"info", "ok"},
                         {"data", {{"outdated", 0}, {"pay_domain_list", {"pay.example"}}}}});
  service.setAnswer("/q5client/user/login", json{{"code", 0},
                                                 {"info", "ok"},
                                                 {"data",
                                                  {{"token", "tok-2"},
                                                   {"username", "玩家"},
                                                   {"uid", 77},
                                                   {"package_name", "白银套餐"},
                                                   {"expired_and_pause_status", 0}}}});
  TsParamsDirectory::setValue("login_token", std::string("tok-1"));
  WelcomeWindow welcome(ctx);
  welcome.show();
  ASSERT_TRUE(settle([&] { return welcome.mainWindow() != nullptr; }));
  EXPECT_EQ(stored("login_token"), "tok-2");
  EXPECT_EQ(TsParamsDirectory::getNSDictionaryValue("pay_list"), json::array({"pay.example"}));
  auto* main = static_cast<MainWindow*>(welcome.mainWindow());
  EXPECT_EQ(main->findChild<QLabel*>("labelPacketLevel")->text(), QStringLiteral("白银套餐"));
  EXPECT_EQ(TsParams::getUid(), 77);

  service.setAnswer(
      "/q5client/user/heartbeat",
      json{{"code", 0}, {"info", "ok"}, {"data", {{"route", "华南"}, {"up_stream_limit", 10}}}});
  advance(std::chrono::seconds(120));
  main->heartbeat().drain();
  ASSERT_TRUE(settle([&] {
    return main->findChild<QLabel*>("labelLineLevel")->text() == QStringLiteral("华南");
  }));
  EXPECT_EQ(requests("/q5client/user/heartbeat"), 1u);

  main->OnBackLoginClick();
  EXPECT_NE(main->loginWindow(), nullptr);
  ASSERT_TRUE(settle([&] { return requests("/q5client/user/logout") == 1; }));
  EXPECT_EQ(stored("login_token"), "");
}

}  // namespace
}  // namespace gelmora::ui::test
