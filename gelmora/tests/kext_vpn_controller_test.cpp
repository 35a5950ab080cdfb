// The filter-mode acceleration controller: real loader calls (a fake loader that starts
// tamseld-sim), the real control client, and stand-in rule steps.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "KextSimFixture.h"
#include "OlderTestSupport.h"
#include "gelmora/Core/AccelerationMode.h"
#include "gelmora/Core/BHAppPackage.h"
#include "gelmora/Core/SpeedEngines.h"
#include "gelmora/Core/TsKextVPNController.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Service/Params/TsParamsKext.h"
#include "gelmora/Service/Speed/EntranceServer.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Speed/Timing.h"
#include "gelmora/Service/Speed/TsPathService.h"
#include "gelmora/Service/Tools/Utils.h"
#include "platform/dispatch/PumpedQueue.h"
#include "platform/netext/VpnStatus.h"
#include "standin/relay/Relay.h"

namespace rx = platform::reactive;

namespace {

constexpr const char* kAlertA =
    "安装加速引擎失败，请尝试重新启动加速\n如果仍然失败 请尝试重新启动软件";

class KextControllerTest : public KextSimFixture {
 public:
  void SetUp() override {
    KextSimFixture::SetUp();
    WriteFakeLoader("$1", true);
    Utils::setKextPath("/opt/filter/tamseld");
    Utils::setKextstatPath(TAMSELSTAT_PATH);
  }
  void TearDown() override {
    KextHelper::unloadMessagePipe();
    Utils::unloadKEXT();
    KextSimFixture::TearDown();
  }
  TsKextVPNController::Steps steps() {
    auto s = TsKextVPNController::defaultSteps();
    s.getRules = [this](rx::Error* e) -> std::optional<nlohmann::json> {
      if (ruleFailures_ > 0) {
        --ruleFailures_;
        e->code = ruleCode_;
        e->description = "rule error " + std::to_string(ruleFailures_);
        return std::nullopt;
      }
      return nlohmann::json{{"data", nlohmann::json::object()}};
    };
    s.updateIpPacket = [this] { return libraryFailures_ > 0 ? (--libraryFailures_, false) : true; };
    s.parseRules = [this](const nlohmann::json&) { return parseText_; };
    s.pushRules = [this] {
      if (closeBeforePush_) KextHelper::unloadMessagePipe();
      KextRuleSet r;
      r.flowId = "7";
      return TsParamsKext::setRulesToKext(r);
    };
    return s;
  }
  std::string loaderCalls() { return LoaderCalls(); }
  struct Outcome {
    std::vector<std::string> events;
    long long statusInHandler = -1;
  };
  Outcome runStart(TsKextVPNController& c) {
    Outcome o;
    c.setAlertSink([&](const std::string& text) { o.events.push_back("alert:" + text); });
    auto obs = platform::notifications::NotificationCenter::defaultCenter().observe(
        TsUserCenterTopupNotification, [&](const auto&) { o.events.push_back("topup"); });
    bool ended = false;
    c.start().subscribe({nullptr,
                         [&](const rx::Error& e) {
                           o.events.push_back("error:" + std::to_string(e.code));
                           o.statusInHandler = c.status();
                           ended = true;
                         },
                         [&] {
                           o.events.push_back("completed");
                           o.statusInHandler = c.status();
                           ended = true;
                         }});
    EXPECT_TRUE(main_.queue().runUntil([&] { return ended; }, std::chrono::seconds(30)));
    c.drain();
    main_.queue().pump();
    return o;
  }

  platform::dispatch::ScopedMainQueue main_;
  int ruleFailures_ = 0;
  long long ruleCode_ = 1;
  int libraryFailures_ = 0;
  std::optional<std::string> parseText_;
  bool closeBeforePush_ = false;
};

TEST_F(KextControllerTest, StartCompletesThenStopAndRestart) {
  TsKextVPNController c(steps());
  ruleFailures_ = 1;  // a second try succeeds
  libraryFailures_ = 1;
  Outcome o = runStart(c);
  EXPECT_EQ(o.events, (std::vector<std::string>{"completed"}));
  EXPECT_EQ(o.statusInHandler, 2);
  EXPECT_EQ(c.status(), 3);
  EXPECT_TRUE(KextHelper::isConnected());
  EXPECT_TRUE(WaitStats([](const std::string& s) {
    return s.find("\"intercept\":1") != s.npos && s.find("\"vni\":7") != s.npos;
  }));

  // A resign while connecting does nothing; while connected it stops.
  c.setStatus(2);
  platform::notifications::NotificationCenter::defaultCenter().post(TsUserWillResignNotification);
  EXPECT_EQ(c.status(), 2);
  c.setStatus(3);

  // Restart from 3 reruns the whole sequence with a fresh filter and client.
  Outcome again = runStart(c);
  EXPECT_EQ(again.events, (std::vector<std::string>{"completed"}));
  EXPECT_EQ(c.status(), 3);

  platform::notifications::NotificationCenter::defaultCenter().post(TsUserWillResignNotification);
  EXPECT_EQ(c.status(), 1);
  c.drain();
  EXPECT_FALSE(KextHelper::isConnected());
  EXPECT_FALSE(Utils::existKEXT());
  EXPECT_EQ(loaderCalls(), "unload;load;unload;load;unload;");

  bool done = false;
  c.sendStopCMD([&] { done = true; });
  c.drain();
  main_.queue().pump();
  EXPECT_TRUE(done);
  c.sendStopCMD(nullptr);
  c.drain();
}

TEST_F(KextControllerTest, FailingSteps) {
  struct Case {
    const char* what;
    std::function<void(KextControllerTest&)> arrange;
    std::vector<std::string> events;
  };
  std::vector<Case> cases = {
      {"load does nothing",
       [](KextControllerTest& t) { std::ofstream(t.run_ + "/no-load") << ""; },
       {"error:100", std::string("alert:") + kAlertA}},
      {"rules fail twice",
       [](KextControllerTest& t) { t.ruleFailures_ = 2; },
       {"error:100", "alert:rule error 0"}},
      {"code 102",
       [](KextControllerTest& t) { t.ruleFailures_ = 2, t.ruleCode_ = 102; },
       {"error:100", "alert:rule error 0", "topup"}},
      {"library fails twice",
       [](KextControllerTest& t) { t.libraryFailures_ = 2; },
       {"error:100", "alert:IP库更新失败"}},
      {"rules missing",
       [](KextControllerTest& t) { t.parseText_ = "加速规则获取失败"; },
       {"error:100", "alert:加速规则获取失败"}},
      {"rules empty",
       [](KextControllerTest& t) { t.parseText_ = "加速规则为空"; },
       {"error:100", "alert:加速规则为空"}},
      {"no entrance",
       [](KextControllerTest& t) { t.parseText_ = "无可用入口服务器"; },
       {"error:100", "alert:无可用入口服务器"}},
      {"entrance probe",
       [](KextControllerTest& t) { t.parseText_ = "入口测试失败，无可用入口服务器"; },
       {"error:100", "alert:入口测试失败，无可用入口服务器"}},
      {"channel dead at the push",
       [](KextControllerTest& t) { t.closeBeforePush_ = true; },
       {"error:100", std::string("alert:") + kAlertA}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ruleFailures_ = 0, ruleCode_ = 1, libraryFailures_ = 0, parseText_.reset();
    closeBeforePush_ = false;
    std::filesystem::remove(run_ + "/no-load");
    std::filesystem::remove(run_ + "/loader-calls");
    c.arrange(*this);
    TsKextVPNController controller(steps());
    Outcome o = runStart(controller);
    EXPECT_EQ(o.events, c.events);
    EXPECT_EQ(o.statusInHandler, 1);
    EXPECT_EQ(controller.status(), 1);
    EXPECT_FALSE(KextHelper::isConnected());
    EXPECT_EQ(loaderCalls(), "unload;load;unload;");
    EXPECT_FALSE(Utils::existKEXT());
  }
}

// A presenter that knows which window is key, as the application's does.
struct WindowRecorder : AlertSheetPresenter {
  int keyWindow = 1;
  std::vector<std::string> shown;  // "window:text"
  void showErrorSheet(std::optional<std::string>, std::optional<std::string>) override {}
  void showSheet(std::optional<std::string>, std::optional<std::string>, Completion) override {}
  WindowAlert keyWindowAlert() override {
    return [this, window = keyWindow](const std::string& text) {
      shown.push_back(std::to_string(window) + ":" + text);
    };
  }
};

TEST_F(KextControllerTest, AlertGoesToTheWindowKeyAtStart) {
  WindowRecorder windows;
  TsKextVPNController c(steps());
  c.setAlertPresenter(&windows);
  parseText_ = "加速规则为空";
  bool ended = false;
  auto signal = c.start();
  windows.keyWindow = 2;  // another window comes to the front while the start runs
  signal.subscribe({nullptr, [&](const rx::Error&) { ended = true; }, [&] { ended = true; }});
  ASSERT_TRUE(main_.queue().runUntil([&] { return ended; }, std::chrono::seconds(30)));
  c.drain();
  main_.queue().pump();
  EXPECT_EQ(windows.shown, (std::vector<std::string>{"1:加速规则为空"}));
}

TEST_F(KextControllerTest, ClientRefused) {
  // Another client holds the control: the filter refuses ours.
  Utils::loakKEXT();
  std::string path = WaitControl();
  ASSERT_FALSE(path.empty());
  platform::kctl::Client other;
  ASSERT_EQ(other.connect(path), 0);
  // Keep the held filter: a loader that loads nothing new and unloads nothing.
  Utils::setZandrelPath("/bin/true");
  TsKextVPNController c(steps());
  Outcome o = runStart(c);
  EXPECT_EQ(o.events, (std::vector<std::string>{"error:100", std::string("alert:") + kAlertA}));
  EXPECT_EQ(KextHelper::getLastError().code, KextHelper::kErrorRefused);
  EXPECT_EQ(c.status(), 1);
  other.close();
  Utils::setZandrelPath(run_ + "/zandrel");
}

// Status numbers announced with the VPN status notification, as the screens read them.
struct StatusLog {
  explicit StatusLog(const AccelerationController& c)
      : observation(platform::notifications::NotificationCenter::defaultCenter().observe(
            platform::netext::NEVPNStatusDidChangeNotification,
            [this, &c](const auto&) { seen.push_back(c.status()); })) {}
  std::vector<long long> seen;
  platform::notifications::Observation observation;
};

TEST_F(KextControllerTest, FilterThatDiesWhileConnectedEndsTheAcceleration) {
  TsKextVPNController c(steps());
  ASSERT_EQ(runStart(c).events, (std::vector<std::string>{"completed"}));
  ASSERT_EQ(c.status(), 3);
  StatusLog log(c);
  std::ifstream pidFile(run_ + "/sim.pid");
  pid_t sim = 0;
  ASSERT_TRUE(pidFile >> sim);
  // Killed outright: no goodbye on the control, only the end of the connection.
  ASSERT_EQ(::kill(sim, SIGKILL), 0);
  std::filesystem::remove(platform::kctl::wire::admin_path(run_, tamsel::abi::kControlName));
  ASSERT_TRUE(main_.queue().runUntil([&] { return !log.seen.empty(); }, std::chrono::seconds(30)));
  c.drain();
  main_.queue().pump();
  EXPECT_EQ(log.seen, (std::vector<long long>{1}));
  EXPECT_EQ(c.status(), 1);
  EXPECT_FALSE(KextHelper::isConnected());
  EXPECT_EQ(loaderCalls(), "unload;load;unload;");
}

TEST_F(KextControllerTest, StopStartStopNeverEndsConnected) {
  TsKextVPNController c(steps());
  ASSERT_EQ(runStart(c).events, (std::vector<std::string>{"completed"}));
  std::ofstream(run_ + "/slow-unload") << "";
  StatusLog log(c);
  std::vector<std::string> events;
  bool ended = false;
  c.setAlertSink([&](const std::string& text) { events.push_back("alert:" + text); });
  c.stop();
  c.start().subscribe({nullptr,
                       [&](const rx::Error& e) {
                         events.push_back("error:" + std::to_string(e.code));
                         ended = true;
                       },
                       [&] {
                         events.push_back("completed");
                         ended = true;
                       }});
  c.stop();
  ASSERT_TRUE(main_.queue().runUntil([&] { return ended; }, std::chrono::seconds(30)));
  c.drain();
  main_.queue().pump();
  EXPECT_EQ(events, (std::vector<std::string>{"error:100"}));
  EXPECT_EQ(std::count(log.seen.begin(), log.seen.end(), 3), 0);
  EXPECT_EQ(c.status(), 1);
  EXPECT_FALSE(KextHelper::isConnected());
  EXPECT_FALSE(Utils::existKEXT());
}

TEST_F(KextControllerTest, AlertOfAFailedStartReachesThePresenterSetThroughTheLocator) {
  if (std::string(gelmora::entry::accelerationModeName()) != "kext")
    GTEST_SKIP() << "the locator's controller is the tunnel mode in this build";
  std::ofstream(run_ + "/no-load") << "";
  WindowRecorder windows;
  AccelerationController& vpn = app().vpn();
  vpn.setAlertPresenter(&windows);
  vpn.prepare();
  StatusLog log(vpn);
  bool ended = false;
  vpn.start().subscribe({nullptr, [&](const rx::Error&) { ended = true; }, [&] { ended = true; }});
  ASSERT_TRUE(main_.queue().runUntil([&] { return ended; }, std::chrono::seconds(30)));
  TsKextVPNController::sharedInstance().drain();
  main_.queue().pump();
  vpn.setAlertPresenter(nullptr);
  EXPECT_EQ(windows.shown, (std::vector<std::string>{std::string("1:") + kAlertA}));
  // Two changes (2, then 1), each read when it arrives.
  EXPECT_EQ(log.seen.size(), 2u);
  EXPECT_EQ(vpn.status(), 1);
}

// The production steps end to end on loopback: the rule list and the address library from the
// older-service stand-in, entrance and path probes against the relay stand-in, the push into the
// simulated filter, and the filter's path request and traffic reports answered through the rule
// store.
class KextControllerRulesTest : public KextControllerTest {
 public:
  void SetUp() override {
    KextControllerTest::SetUp();
    ASSERT_TRUE(service.start());
    TQAPIConfig::sharedInstance().setConfigValue(service.address(), "JVXDomain");
    store = std::make_shared<platform::defaults::Store>(dir.path() / "defaults.json");
    TsParamsDirectory::setStore(store);
    // Never asks the outside world for the public address.
    AppEnvironment::setCurrentEnvironment(std::make_shared<OfflineEnvironment>());
    MLOG().setUuid(std::nullopt);
    TsParams::resetLoginValues();
    TsParams::resetRuleLists();
    TsParams::setProbes({});
    TsPathService::setHooks({});
    Timing::set(Timing{});
    EntranceServer::setRandomSource([] { return 0u; });

    auto library = dir.path() / "Resources" / "area_isp.txt";
    std::filesystem::create_directories(library.parent_path());
    TsParams::setAreaispPath(library.string());
    service.putFile("/files/area_isp.txt", fixtureText("area_isp.txt"));

    port = relay.addEndpoint("127.0.0.2");
    ASSERT_NE(port, 0);
    answer = nlohmann::json::parse(fixtureText("rule_list_full.json"));
    answer["data"]["entrance"] = {{{"ip", "127.0.0.2"}, {"ports", {port}}}};
    service.setAnswer("/q5client/rule/list", answer);
    TsParams::updateWithLoginReturnObject({{"data", {{"uid", 31}, {"package_id", 7}}}});
  }
  void TearDown() override {
    KextControllerTest::TearDown();
    EntranceServer::setRandomSource({});
    TsParams::resetRuleLists();
    service.stop();
    TsParamsDirectory::setStore(nullptr);
  }
  static std::string fixtureText(const std::string& name) {
    std::ifstream in(std::string(OLDER_SERVICE_FIXTURES_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  TempDir dir;
  standin::OlderService service;
  std::shared_ptr<platform::defaults::Store> store;
  standin::relay::Relay relay;
  ConsoleCapture console;
  std::uint16_t port = 0;
  nlohmann::json answer;
};

TEST_F(KextControllerRulesTest, StartRunsOnTheServiceRulesAndServesTheFilter) {
  TsKextVPNController c(TsKextVPNController::defaultSteps());
  Outcome o = runStart(c);
  ASSERT_EQ(o.events, (std::vector<std::string>{"completed"}));
  EXPECT_EQ(c.status(), 3);
  EXPECT_EQ(service.requests("/q5client/rule/list").size(), 1u);

  // The parse's lists reached the filter: address rules as rules, rules by name waiting for
  // their names, the DNS records and the flow id; interception is on.
  EXPECT_EQ(TsParams::getWhiteArray().size(), 7u);
  EXPECT_TRUE(WaitStats([](const std::string& s) {
    return s.find("\"white_rule\":5,") != s.npos && s.find("\"unanalyzed_domain\":4,") != s.npos &&
           s.find("\"dns_rule\":3,") != s.npos && s.find("\"vni\":5001") != s.npos &&
           s.find("\"intercept\":1") != s.npos;
  })) << Admin("stats");
  // Entrance and paths were probed through the relay.
  bool portProbe = false, pathProbe = false;
  for (const auto& r : relay.records()) {
    portProbe |= r.incoming && r.type == 100;
    pathProbe |= r.incoming && r.type == 300;
  }
  EXPECT_TRUE(portProbe);
  EXPECT_TRUE(pathProbe);

  // The filter asks for the path of the first rule group: it gets the probed entrance and its
  // server socket is installed.
  namespace kabi = tamsel::abi;
  kabi::k2u_req_path req{};
  req.offset = 2;
  req.level = 3;
  req.ip = htonl(0xC0000263);
  ASSERT_EQ(Admin("emit 2 " + Hex(&req, sizeof req)), "0");
  EXPECT_TRUE(WaitStats([](const std::string& s) {
    return s.find("\"server_sockets\":1") != s.npos;
  })) << Admin("stats");
  EXPECT_TRUE(console.anyContains("offset(2) in(127.0.0.2:" + std::to_string(port) + ")"));

  // Traffic reports add up in the rule store by direction.
  kabi::k2u_ippacket_desc out{}, in{};
  out.desc.length = 60;
  out.direction = kabi::K2U_DIR_OUT;
  in.desc.length = 28;
  in.direction = kabi::K2U_DIR_IN;
  ASSERT_EQ(Admin("emit 3 " + Hex(&out, sizeof out)), "0");
  ASSERT_EQ(Admin("emit 3 " + Hex(&out, sizeof out)), "0");
  ASSERT_EQ(Admin("emit 3 " + Hex(&in, sizeof in)), "0");
  for (int i = 0; i < 500 && TsParams::getDownstreamlimit() != 28; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(TsParams::getUpstreamlimit(), 120);
  EXPECT_EQ(TsParams::getDownstreamlimit(), 28);

  c.stop();
  c.drain();
  EXPECT_EQ(c.status(), 1);
  EXPECT_FALSE(KextHelper::isConnected());
  EXPECT_FALSE(Utils::existKEXT());
}

TEST_F(KextControllerRulesTest, ServiceAnswersThatEndTheStart) {
  struct Case {
    const char* what;
    std::function<void(KextControllerRulesTest&)> arrange;
    std::string alert;
  };
  std::vector<Case> cases = {
      {"rule request refused twice",
       [](KextControllerRulesTest& t) {
         t.service.setAnswer("/q5client/rule/list", {{"code", 102}, {"info", "no traffic"}});
       },
       ""},
      {"no rules",
       [](KextControllerRulesTest& t) {
         auto a = t.answer;
         a["data"].erase("rules");
         t.service.setAnswer("/q5client/rule/list", a);
       },
       "加速规则为空"},
      {"entrance silent",
       [](KextControllerRulesTest& t) {
         standin::relay::Switches quiet;
         quiet.silent = true;
         t.relay.setSwitches("127.0.0.2", t.port, quiet);
       },
       "入口测试失败，无可用入口服务器"},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(k.what);
    service.setAnswer("/q5client/rule/list", answer);
    relay.setSwitches("127.0.0.2", port, {});
    k.arrange(*this);
    const size_t asked = service.requests("/q5client/rule/list").size();
    TsKextVPNController c(TsKextVPNController::defaultSteps());
    Outcome o = runStart(c);
    ASSERT_GE(o.events.size(), 2u);
    EXPECT_EQ(o.events[0], "error:100");
    if (k.alert.empty()) {
      // The service's code 102 also asks for the shop, after the alert.
      EXPECT_EQ(o.events.back(), "topup");
      EXPECT_EQ(o.events.size(), 3u);
      EXPECT_EQ(service.requests("/q5client/rule/list").size(), asked + 2);
    } else {
      EXPECT_EQ(o.events, (std::vector<std::string>{"error:100", "alert:" + k.alert}));
    }
    EXPECT_EQ(c.status(), 1);
    EXPECT_FALSE(KextHelper::isConnected());
    EXPECT_FALSE(Utils::existKEXT());
  }
}

// The older start pair on the same production steps: no reload of its own, so the filter is
// loaded first.
TEST_F(KextControllerRulesTest, OlderStartPushesTheServiceRules) {
  Utils::loakKEXT();
  ASSERT_TRUE(Utils::existKEXT());
  SpeedEngines::setSteps(SpeedEngines::defaultSteps());
  rx::Error error;
  auto reply = SpeedEngines::start(&error);
  ASSERT_TRUE(reply) << error.description;
  EXPECT_EQ((*reply)["data"]["flow_id"], 5001);
  EXPECT_EQ(TsParams::getProgressBar(), 100);
  EXPECT_TRUE(WaitStats([](const std::string& s) {
    return s.find("\"vni\":5001") != s.npos && s.find("\"intercept\":1") != s.npos &&
           s.find("\"dns_rule\":3,") != s.npos;
  })) << Admin("stats");
  SpeedEngines::stop();
  EXPECT_FALSE(KextHelper::isConnected());
}

}  // namespace
