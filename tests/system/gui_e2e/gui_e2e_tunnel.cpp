// The user's road on the installed application in tunnel mode (the other mode's program installed
// as bin/gelmora), driven through its test driver: sign-in, the line choice, a start that brings
// up the installation's tunnel daemon and carries a listed game's traffic through the relay, and
// a stop that leaves no daemon, device, rule or route. The application runs as root (an ordinary
// user would need an administrator's consent for the daemon), in a mount namespace whose /etc is
// an overlay, so the daemon's resolver changes stay there.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "GuiRoad.h"
#include "standin/AccountServer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

tsl::Scene* gScene = nullptr;
gui_e2e::Road* gRoad = nullptr;
std::string gWhyNot;

constexpr int kFlowId = 4242;
const char kMail[] = "tunnel@gelmora.test";
const char kPassword[] = "tunnel-pass-1234";

// The line service's answer: one country, one open node.
json lineList() {
  json group = {{"country", "Japan"}, {"country_id", 1}, {"national_flag", ""}};
  json node = {{"area_id", 12},   {"city", "Tokyo"}, {"country", "Japan"},
               {"country_id", 1}, {"lock", ""},      {"national_flag", ""}};
  return {{"group", json::array({group})}, {"list", json::array({node})}};
}

json speedStartInfo() {
  return {{"flow_id", kFlowId},
          {"entrance", {{{"ip", tsl::kEntranceIP}, {"ports", {tsl::kEntrancePort}}}}},
          {"exists", {{{"addr", "3-7"}, {"nat", "10.0.0.7"}}}},
          {"rules",
           {{{"id", 11},
             {"traffic_level", 1},
             {"group_name", "game"},
             {"exits", {{{"addr", "3-7"}, {"nat", "10.0.0.7"}}}},
             {"process", {"*"}},
             {"port", {"*"}},
             {"protocol", {"udp"}},
             {"destination_ip_domain", {tsl::kEchoIP}}}}}};
}

std::string probe(const std::string& png, int x, int y, uint32_t rgb) {
  std::string seen;
  if (gui_e2e::pixelNear(png, x, y, rgb, 6, &seen)) return "";
  char want[8];
  std::snprintf(want, sizeof want, "%06x", rgb);
  return png + " at " + std::to_string(x) + "," + std::to_string(y) + ": " + seen + " not #" + want;
}

// What is left of the tunnel in the client namespace ("" when nothing).
std::string tunnelLeft() {
  std::string left;
  const auto& cli = gScene->cli();
  if (cli.sh("ip -o link show | grep -q gvtun").ok()) left += "device ";
  if (cli.sh("ip rule show | grep -qE '^3276[0-2]:'").ok()) left += "rules ";
  if (cli.sh("ip route show table all | grep -q gvtun").ok()) left += "routes ";
  // The filter's own chains (the program entry loads it in both modes) are not the tunnel's.
  const auto marks = cli.sh("iptables-save -t mangle 2>/dev/null | grep CONNMARK | grep -v TAMSEL");
  if (!marks.output.empty()) left += "marks(" + marks.output + ") ";
  if (!gui_e2e::pidsOf(gRoad->libexecDir() + "/galvent-tunnel").empty()) left += "daemon ";
  return left;
}

class GuiE2ETunnel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gRoad) GTEST_SKIP() << gWhyNot;
  }
};

TEST_F(GuiE2ETunnel, SignInLineGoStop) {
  gui_e2e::Road& road = *gRoad;
  auto& d = road.driver();
  json r;
  ASSERT_TRUE(d.wait(".TsWindow/.OXLoginViewController", "visible", 60000, &r))
      << r << road.appLog();
  ASSERT_TRUE(d.type("emailField/textField", kMail));
  ASSERT_TRUE(d.type("passwordField/textField", kPassword));
  ASSERT_TRUE(d.click("loginButton"));
  ASSERT_TRUE(d.wait(".TsAccelerateViewController/goButton", "visible", 30000, &r))
      << r << road.appLog();

  // The first open node is the line once the list arrives; the line choice shows it.
  ASSERT_TRUE(systest::waitFor(
      [&] {
        auto t = d.text(".TsAccelerateViewController/lineLabel");
        return t && t->find("Japan-Tokyo") != std::string::npos;
      },
      20s))
      << d.text("lineLabel").value_or("?");
  ASSERT_TRUE(d.click("lineButton"));
  ASSERT_TRUE(d.wait(".HLChooseLineVC/lineCell0", "visible", 20000, &r)) << r << road.appLog();
  ASSERT_TRUE(d.click(".HLChooseLineVC/lineCell0"));
  ASSERT_TRUE(d.cmd({{"cmd", "close"}, {"path", ".HLChooseLineVC"}})["ok"]);
  ASSERT_TRUE(d.wait(".HLChooseLineVC", "hidden", 10000, &r)) << r;

  ASSERT_TRUE(d.click(".TsAccelerateViewController/goButton"));
  ASSERT_TRUE(d.wait("goButton", "text", 60000, &r, "Stop")) << r << road.appLog();
  ASSERT_TRUE(systest::waitFor(
      [&] { return d.text("percentLabel").value_or("").find("100") != std::string::npos; }, 10s))
      << d.text("percentLabel").value_or("?");
  // The installation's daemon runs and its device is up.
  EXPECT_TRUE(systest::waitFor(
      [&] {
        return !gui_e2e::pidsOf(road.libexecDir() + "/galvent-tunnel").empty() &&
               gScene->cli().sh("ip -o link show | grep -q gvtun").ok();
      },
      20s))
      << road.appLog();
  const std::string accelerated = road.screenshot("05-accelerated.png");
  EXPECT_EQ(probe(accelerated, 10, 450, 0x1A1727), "");
  EXPECT_GT(gui_e2e::pixelsOff(accelerated, 460, 255, 140, 30, 0x1B192A, 40), 20);

  // The game's echo goes through the tunnel: the relay records it. The listed group measures its
  // entrances for a few seconds after the tunnel is up and its packets go the direct way until
  // then, so the game runs again (a new flow each time) until one is carried.
  const std::string echo = std::string(tsl::kEchoIP) + ":" + std::to_string(tsl::kUdpEchoPort);
  size_t out = 0;
  int runs = 0;
  std::string seen;
  const bool carried = systest::waitFor(
      [&] {
        ++runs;
        auto game = gScene->game("tslgame", {"--udp", echo});
        EXPECT_EQ(game.status, 0) << game.output;
        out = 0;
        seen.clear();
        for (const auto& f : gScene->relayFrames()) {
          auto inner = tsl::innerOf(f);
          seen += std::to_string(f.type) + (f.incoming ? "in" : "out") + ":" +
                  (inner ? inner->dst : "-") + " ";
          out += f.incoming && inner && inner->dst == tsl::kEchoIP &&
                 inner->dstPort == tsl::kUdpEchoPort;
        }
        return out >= 1;
      },
      15s);
  EXPECT_TRUE(carried) << runs << " runs; frames: " << seen;

  ASSERT_TRUE(d.click("goButton"));
  ASSERT_TRUE(d.wait("goButton", "text", 10000, &r, "Start")) << r;
  EXPECT_TRUE(systest::waitFor([] { return tunnelLeft().empty(); }, 20s)) << tunnelLeft();

  const pid_t app = road.appPid();
  ASSERT_GT(app, 0);
  d.close();
  ::kill(app, SIGTERM);
  const auto status = road.waitApp(60s);
  ASSERT_TRUE(status.has_value()) << road.appLog();
  EXPECT_EQ(*status, 0) << road.appLog();
  EXPECT_EQ(tunnelLeft(), "");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  static tsl::Scene scene;
  static gui_e2e::Road road(gui_e2e::Road::Mode::Tunnel, GUI_E2E_BUILD_DIR);
  std::unique_ptr<systest::Netns::Enter> inside;
  gWhyNot = gui_e2e::Road::skipReason();
  if (gWhyNot.empty() &&
      !fs::exists(std::string(GUI_E2E_BUILD_DIR) + "/gelmora/gelmora-tunnel-mode"))
    gWhyNot = "this build has no tunnel-mode program";
  const bool canRun = gWhyNot.empty();
  std::string why;
  if (gWhyNot.empty() && !road.install(&why)) gWhyNot = why;
  if (gWhyNot.empty()) {
    if (!scene.setUp(&why)) gWhyNot = "scene: " + why;
  }
  if (gWhyNot.empty()) {
    inside = std::make_unique<systest::Netns::Enter>(scene.cli());
    if (!inside->entered()) gWhyNot = "cannot enter the client namespace";
  }
  // The rule list as both services would answer it (the front passes each form to its own).
  const json rules = {{"code", 0}, {"info", "ok"}, {"data", speedStartInfo()}};
  if (gWhyNot.empty() && !road.startStandins(scene, rules, &why)) gWhyNot = why;
  if (gWhyNot.empty()) {
    standin::account::Account a;
    a.email = a.username = kMail;
    a.password = kPassword;
    a.online = true;
    road.account().addAccount(a);
    road.account().setRuleList(speedStartInfo());
    road.account().scriptPayloads("/q5client/rule/get-exit-set", {lineList()});
    if (!road.startApp(scene, 0, 0, &why, true)) gWhyNot = why;
  }
  bool setUpFailed = false;
  if (gWhyNot.empty()) {
    gScene = &scene;
    gRoad = &road;
  } else if (canRun) {
    std::fprintf(stderr, "set-up failed: %s\n", gWhyNot.c_str());
    setUpFailed = true;
  }
  const int result = setUpFailed ? 1 : RUN_ALL_TESTS();
  inside.reset();
  return result;
}
