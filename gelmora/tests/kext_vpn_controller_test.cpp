// The filter-mode acceleration controller: real loader calls (a fake loader that starts
// tamseld-sim), the real control client, and stand-in rule steps.
#include <gtest/gtest.h>

#include <fstream>

#include "KextSimFixture.h"
#include "gelmora/Core/TsKextVPNController.h"
#include "gelmora/Core/TsUserController.h"
#include "gelmora/Service/Params/TsParamsKext.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Tools/Utils.h"
#include "platform/dispatch/PumpedQueue.h"

namespace rx = platform::reactive;

namespace {

constexpr const char* kAlertA =
    "安装加速引擎失败，请尝试重新启动加速\n如果仍然失败 请尝试重新启动软件";

class KextControllerTest : public KextSimFixture {
 public:
  void SetUp() override {
    KextSimFixture::SetUp();
    std::string path = run_ + "/zandrel";
    std::ofstream f(path);
    f << "#!/bin/sh\necho \"$1\" >> '" << run_ << "/loader-calls'\n"
      << "if [ \"$1\" = load ] && [ ! -f '" << run_ << "/no-load' ]; then\n"
      << "  '" << TAMSELD_SIM_PATH << "' --foreground >/dev/null 2>&1 &\n"
      << "  echo $! > '" << run_ << "/sim.pid'\n"
      << "  for i in $(seq 1 500); do [ -S '" << run_ << "/cn.pelmoor.tamsel.admin' ] && exit 0;"
      << " sleep 0.01; done\n"
      << "fi\n"
      << "if [ \"$1\" = unload ] && [ -f '" << run_ << "/sim.pid' ]; then\n"
      << "  p=$(cat '" << run_ << "/sim.pid'); rm -f '" << run_ << "/sim.pid'\n"
      << "  for i in $(seq 1 500); do kill $p 2>/dev/null; [ -S '" << run_
      << "/cn.pelmoor.tamsel.admin' ] || exit 0;"
      << " sleep 0.01; done\n"
      << "fi\n";
    f.close();
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    Utils::setZandrelPath(path);
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
  std::string loaderCalls() {
    std::ifstream in(run_ + "/loader-calls");
    std::string all, l;
    while (std::getline(in, l)) all += l + ";";
    return all;
  }
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

TEST_F(KextControllerTest, ClientRefused) {
  // Another client holds the control: the filter refuses ours.
  Utils::loakKEXT();
  std::string path;
  ASSERT_EQ(platform::kctl::resolve(tamsel::abi::kControlName, &path), 0);
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

}  // namespace
