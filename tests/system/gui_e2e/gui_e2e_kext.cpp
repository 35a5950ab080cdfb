// The user's road on the installed application in filter mode, driven through its test driver:
// sign-up, the acceleration screen, the line choice, a start that loads the installation's filter
// through its setuid loader and carries a listed game's traffic through the relay, a stop that
// leaves nothing of the filter, a purchase in the shop sheet, sign-out, sign-in again and Ctrl+Q
// while accelerating. The application runs as an ordinary user, so its filter lives in the
// installation's run folder /run/tamsel.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "GuiRoad.h"
#include "standin/AccountServer.h"
#include "standin/FrontStandin.h"
#include "standin/OlderService.h"
#include "standin/StoreStandin.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

tsl::Scene* gScene = nullptr;
gui_e2e::Road* gRoad = nullptr;
std::string gWhyNot;
uid_t gUid = 0;  // the application's user

constexpr int kFlowId = 5001;
constexpr char kRunDir[] = "/run/tamsel";

// The line service's answer: one country, one open node.
json lineList() {
  json group = {{"country", "Japan"}, {"country_id", 1}, {"national_flag", ""}};
  json node = {{"area_id", 12},   {"city", "Tokyo"}, {"country", "Japan"},
               {"country_id", 1}, {"lock", ""},      {"national_flag", ""}};
  return {{"group", json::array({group})}, {"list", json::array({node})}};
}

// Menu bar, content, disc and go button colours of the main window.
constexpr uint32_t kMenuBar = 0x1A1727, kContent = 0x1F1D32, kDisc = 0x1B192A, kGo = 0xFB1658;

std::string probe(const std::string& png, int x, int y, uint32_t rgb) {
  std::string seen;
  if (gui_e2e::pixelNear(png, x, y, rgb, 6, &seen)) return "";
  char want[8];
  std::snprintf(want, sizeof want, "%06x", rgb);
  return png + " at " + std::to_string(x) + "," + std::to_string(y) + ": " + seen + " not #" + want;
}

// What is left of the filter in the client namespace and its run folder ("" when nothing).
std::string filterLeft() {
  std::string left;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(kRunDir, ec)) left += e.path().string() + " ";
  if (gScene->cli().sh("ip link show tamsel0 2>/dev/null").ok()) left += "tamsel0 ";
  if (gScene->cli().sh("iptables-save 2>/dev/null | grep -q TAMSEL").ok()) left += "TAMSEL chains ";
  return left;
}

class GuiE2EKext : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gRoad) GTEST_SKIP() << gWhyNot;
  }
};

TEST_F(GuiE2EKext, WholeRoad) {
  gui_e2e::Road& road = *gRoad;
  auto& d = road.driver();
  auto& account = road.account();
  const std::string mail = "road@gelmora.test", password = "road-pass-1234";

  // a. The login screen of a fresh home; the sign-up tab; registered and signed in at once.
  json r;
  ASSERT_TRUE(d.wait(".TsWindow/.OXLoginViewController", "visible", 60000, &r))
      << r << road.appLog();
  const std::string login = road.screenshot("01-login.png");
  ASSERT_FALSE(login.empty());
  EXPECT_EQ(probe(login, 940, 300, kContent), "");
  ASSERT_TRUE(d.click("emailSignupBtn"));
  ASSERT_TRUE(d.wait("signupButton", "visible", 10000, &r)) << r;
  ASSERT_TRUE(d.type("emailField/textField", mail));
  ASSERT_TRUE(d.type("passwordField/textField", password));
  const std::string signup = road.screenshot("02-signup.png");
  EXPECT_GT(gui_e2e::pixelsOff(signup, 0, 0, 950, 600, kContent, 6), 1000);
  ASSERT_TRUE(d.click("signupButton"));
  ASSERT_TRUE(d.wait(".TsAccelerateViewController/goButton", "visible", 30000, &r))
      << r << road.appLog();
  bool registered = false;
  for (const auto& q : account.requests())
    registered |= q.path.find("mail-register") != std::string::npos;
  EXPECT_TRUE(registered);
  ASSERT_TRUE(d.wait("goButton", "text", 10000, &r, "Start")) << r;
  const std::string idle = road.screenshot("03-idle.png");
  EXPECT_EQ(probe(idle, 10, 450, kMenuBar), "");
  EXPECT_EQ(probe(idle, 525, 350, kDisc), "");
  EXPECT_EQ(probe(idle, 440, 512, kGo), "");

  // c. The line list's first open node is the line once the list arrives (the app picks it, so
  // go never finds the account without a line here); the line choice shows it and a click on it
  // keeps it.
  ASSERT_TRUE(systest::waitFor(
      [&] {
        auto t = d.text(".TsAccelerateViewController/lineLabel");
        return t && t->find("Japan-Tokyo") != std::string::npos;
      },
      20s))
      << d.text("lineLabel").value_or("?");
  ASSERT_TRUE(d.click("lineButton"));
  ASSERT_TRUE(d.wait(".HLChooseLineVC/lineCell0", "visible", 20000, &r)) << r << road.appLog();
  EXPECT_EQ(d.text(".HLChooseLineVC/lineCell0/titleTF").value_or(""), "Japan-Tokyo");
  road.screenshot("04-line-choice.png", ".HLChooseLineVC");
  ASSERT_TRUE(d.click(".HLChooseLineVC/lineCell0"));
  EXPECT_NE(d.text(".TsAccelerateViewController/lineLabel").value_or("").find("Japan-Tokyo"),
            std::string::npos);
  ASSERT_TRUE(d.cmd({{"cmd", "close"}, {"path", ".HLChooseLineVC"}})["ok"]);
  ASSERT_TRUE(d.wait(".HLChooseLineVC", "hidden", 10000, &r)) << r;

  // d. Go: the installation's loader starts its filter; the screen reaches 100%.
  ASSERT_TRUE(d.click(".TsAccelerateViewController/goButton"));
  ASSERT_TRUE(d.wait("goButton", "text", 60000, &r, "Stop")) << r << road.appLog();
  ASSERT_TRUE(systest::waitFor(
      [&] { return d.text("percentLabel").value_or("").find("100") != std::string::npos; }, 10s))
      << d.text("percentLabel").value_or("?");
  ASSERT_TRUE(d.wait("locationTF", "text", 15000, &r, "IP: Japan-Tokyo")) << r;
  const auto daemons = gui_e2e::pidsOf(road.libexecDir() + "/tamseld");
  ASSERT_EQ(daemons.size(), 1u);
  EXPECT_FALSE(account.requests().empty());
  EXPECT_FALSE(road.older().requests("/q5client/rule/list").empty());
  // The service's area/ISP library was downloaded into the user's data folder.
  bool library = false;
  for (const auto& e : fs::recursive_directory_iterator(road.home() / "data"))
    if (e.path().filename() == "area_isp.txt") {
      std::ifstream in(e.path());
      std::string text((std::istreambuf_iterator<char>(in)), {});
      library |= text.find("# served by the road") != std::string::npos;
    }
  EXPECT_TRUE(library);
  const std::string accelerated = road.screenshot("05-accelerated.png");
  EXPECT_EQ(probe(accelerated, 10, 450, kMenuBar), "");
  EXPECT_GT(gui_e2e::pixelsOff(accelerated, 460, 255, 140, 30, kDisc, 40), 20);

  // The listed game's echo goes out through the relay in 400 frames of the rule's flow.
  const std::string echo = std::string(tsl::kEchoIP) + ":" + std::to_string(tsl::kUdpEchoPort);
  // The filter serves the application's user: the game runs as that user.
  auto game = gScene->game("tslgame", {"--udp", echo}, gUid);
  ASSERT_EQ(game.status, 0) << game.output;
  size_t out = 0, back = 0;
  for (const auto& f : gScene->relayFrames()) {
    out += f.incoming && f.type == 400 && f.decoded && f.flowId == kFlowId;
    back += !f.incoming && f.type == 401;
  }
  EXPECT_GE(out, 1u);
  EXPECT_GE(back, 1u);

  // e. Stop: idle, and nothing of the filter is left.
  ASSERT_TRUE(d.click("goButton"));
  ASSERT_TRUE(d.wait("goButton", "text", 10000, &r, "Start")) << r;
  EXPECT_TRUE(systest::waitFor(
      [&] { return gui_e2e::pidsOf(road.libexecDir() + "/tamseld").empty(); }, 15s));
  EXPECT_TRUE(systest::waitFor([] { return filterLeft().empty(); }, 15s)) << filterLeft();

  // f. The pay button opens the shop sheet; its first row bought: ordered, paid in the store,
  // the receipt accepted, the package on the account page.
  ASSERT_TRUE(d.click("menuButton_profile"));
  ASSERT_TRUE(d.wait("payButton", "visible", 10000, &r)) << r;
  ASSERT_TRUE(d.click("payButton"));
  ASSERT_TRUE(d.wait(".TsIAPShopViewController/shopItem0/buyButton", "visible", 30000, &r))
      << r << road.appLog();
  // The top-up page covers the list: the display shows it once the page has painted.
  std::string sheet;
  const bool painted = systest::waitFor(
      [&] {
        sheet = road.screenshot("06-shop-sheet.png", ".TsIAPShopViewController", true);
        // The web stand-in's top-up page is #336699.
        return !sheet.empty() && gui_e2e::pixelNear(sheet, 200, 200, 0x336699, 6, nullptr);
      },
      15s);
  EXPECT_TRUE(painted) << sheet;
  ASSERT_TRUE(d.click(".TsIAPShopViewController/shopItem0/buyButton"));
  ASSERT_TRUE(systest::waitFor([&] { return account.creditOf(1000).has_value(); }, 30s))
      << road.appLog();
  const auto orders = account.orders();
  ASSERT_EQ(orders.size(), 1u);
  EXPECT_EQ(orders[0].product, "cn.gelmoras.pkg.season");
  EXPECT_FALSE(orders[0].creditedTransaction.empty());
  EXPECT_EQ(road.store().purchases().size(), 1u);
  ASSERT_TRUE(d.wait(".TsIAPShopViewController", "hidden", 20000, &r)) << r;
  ASSERT_TRUE(d.wait("packTypeTF", "text", 20000, &r, "cn.gelmoras.pkg.season")) << r;
  const std::string paid = road.screenshot("07-account-after-purchase.png");
  EXPECT_EQ(probe(paid, 10, 450, kMenuBar), "");

  // g. Sign-out from the account page: the login screen, the stand-in saw it, the session gone.
  ASSERT_FALSE(d.visible(".QMessageBox"))
      << d.text(".QMessageBox/qt_msgbox_informativelabel").value_or("?");
  ASSERT_TRUE(d.click("menuButton_profile"));
  ASSERT_TRUE(d.wait("logoutButton", "visible", 10000, &r)) << r;
  ASSERT_TRUE(d.click("logoutButton"));
  // The question is answered with its first button ("yes_button", the default).
  ASSERT_TRUE(d.wait(".QMessageBox", "visible", 10000, &r)) << r;
  ASSERT_TRUE(d.cmd({{"cmd", "key"}, {"path", ".QMessageBox"}, {"key", "Return"}})["ok"]);
  ASSERT_TRUE(d.wait(".OXLoginViewController", "visible", 20000, &r)) << r << road.appLog();
  road.screenshot("09-signed-out.png");
  bool loggedOut = false;
  for (const auto& q : account.requests())
    loggedOut |= q.path.find("user/logout") != std::string::npos;
  EXPECT_TRUE(loggedOut);
  const auto signedUp = account.accountByUid(1000);
  ASSERT_TRUE(signedUp && signedUp->email == mail);
  for (const auto& e : fs::recursive_directory_iterator(road.home() / "keychain"))
    if (e.is_regular_file() && !signedUp->loginToken.empty()) {
      std::ifstream in(e.path());
      std::string text((std::istreambuf_iterator<char>(in)), {});
      EXPECT_EQ(text.find(signedUp->loginToken), std::string::npos) << e.path();
    }

  // b. Signed in again (the address is remembered): the acceleration screen.
  EXPECT_EQ(d.text("emailField/textField").value_or(""), mail);
  ASSERT_TRUE(d.type("passwordField/textField", password));
  ASSERT_TRUE(d.click("loginButton"));
  ASSERT_TRUE(d.wait(".TsAccelerateViewController/goButton", "visible", 30000, &r))
      << r << road.appLog();

  // h. Accelerating again, Ctrl+Q, the alert's first button: stopped, 0, nothing left.
  ASSERT_TRUE(d.click(".TsAccelerateViewController/goButton"));
  ASSERT_TRUE(d.wait("goButton", "text", 60000, &r, "Stop")) << r << road.appLog();
  ASSERT_EQ(gui_e2e::pidsOf(road.libexecDir() + "/tamseld").size(), 1u);
  ASSERT_TRUE(d.cmd({{"cmd", "key"}, {"path", ".TsWindow"}, {"key", "Q"}, {"ctrl", true}})["ok"]);
  ASSERT_TRUE(d.wait(".QMessageBox", "visible", 10000, &r)) << r;
  ASSERT_TRUE(d.cmd({{"cmd", "key"}, {"path", ".QMessageBox"}, {"key", "Return"}})["ok"]);
  d.close();
  const auto status = road.waitApp(60s);
  ASSERT_TRUE(status.has_value()) << road.appLog();
  EXPECT_EQ(*status, 0) << road.appLog();
  EXPECT_TRUE(gui_e2e::pidsOf(road.libexecDir() + "/tamseld").empty());
  EXPECT_EQ(filterLeft(), "");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  static tsl::Scene scene;
  static gui_e2e::Road road(gui_e2e::Road::Mode::Kext, GUI_E2E_BUILD_DIR);
  std::unique_ptr<systest::Netns::Enter> inside;
  gWhyNot = gui_e2e::Road::skipReason();
  const passwd* user = ::getpwnam("nobody");
  if (gWhyNot.empty() && !user) gWhyNot = "no user 'nobody'";
  const bool canRun = gWhyNot.empty();
  std::string why;
  if (gWhyNot.empty() && !road.install(&why)) gWhyNot = why;
  if (gWhyNot.empty()) {
    scene.useInstalledDaemons(road.libexecDir(), kRunDir);
    if (!scene.setUp(&why)) gWhyNot = "scene: " + why;
  }
  if (gWhyNot.empty()) {
    inside = std::make_unique<systest::Netns::Enter>(scene.cli());
    if (!inside->entered()) gWhyNot = "cannot enter the client namespace";
  }
  if (gWhyNot.empty()) {
    if (!road.startStandins(scene, tsl::gameRuleList(kFlowId), &why)) gWhyNot = why;
  }
  if (gWhyNot.empty()) {
    road.account().scriptPayloads("/q5client/rule/get-exit-set", {lineList()});
    // The start-up parameters of the sample answers, with a minimal version this build meets (the
    // sample's text would ask for an update).
    json startup = road.account().answer("/q5client/parameters/startup", json::object());
    if (startup.contains("data") && startup["data"].is_object())
      startup["data"]["minimal_version"] = "1.0.0";
    road.account().scriptAnswers("/q5client/parameters/startup", {startup});
    // The shop sells two of the store's packages, the dearer first.
    road.account().setProductIdentifiers({"cn.gelmoras.pkg.season", "cn.gelmoras.pkg.month"});
    if (!road.startApp(scene, user->pw_uid, user->pw_gid, &why)) gWhyNot = why;
  }
  bool setUpFailed = false;
  if (gWhyNot.empty()) {
    gUid = user->pw_uid;
    gScene = &scene;
    gRoad = &road;
  } else if (canRun) {
    // Root with every tool: a failed set-up is a failure, not a skip.
    std::fprintf(stderr, "set-up failed: %s\n", gWhyNot.c_str());
    setUpFailed = true;
  }
  const int result = setUpFailed ? 1 : RUN_ALL_TESTS();
  inside.reset();
  return result;
}
