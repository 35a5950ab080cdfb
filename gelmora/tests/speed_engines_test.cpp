// The older start sequence: the order of progress values and log lines, and where it ends on a
// failed connection or rule request.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gelmora/Core/SpeedEngines.h"

namespace {

namespace rx = platform::reactive;

class SpeedEnginesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpeedEngines::Steps s;
    s.setProgressBar = [this](int p) { trace.push_back("progress " + std::to_string(p)); };
    s.systemLog = [this](std::string_view l) { trace.push_back(std::string(l)); };
    s.openConnection = [this] {
      trace.push_back("open");
      return opens;
    };
    s.closeConnection = [this] { trace.push_back("close"); };
    s.lastConnectionError = [] { return rx::Error{"kctl", 17155, "ECONNREFUSED", {}}; };
    s.getRules = [this](rx::Error* e) -> std::optional<nlohmann::json> {
      trace.push_back("rules");
      if (rules) return rules;
      e->code = 102;
      return std::nullopt;
    };
    s.parseRules = [this](const nlohmann::json& r) { trace.push_back("parse " + r.dump()); };
    s.pushRules = [this] {
      trace.push_back("push");
      return true;
    };
    SpeedEngines::setSteps(std::move(s));
  }
  void TearDown() override { SpeedEngines::setSteps(SpeedEngines::defaultSteps()); }

  std::vector<std::string> trace;
  bool opens = true;
  std::optional<nlohmann::json> rules = nlohmann::json{{"flow_id", 7}};
};

TEST_F(SpeedEnginesTest, StartRunsEveryStepInOrderAndAnswersTheReply) {
  rx::Error error;
  auto reply = SpeedEngines::start(&error);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, *rules);
  EXPECT_EQ(trace,
            (std::vector<std::string>{"progress 10", "open", "驱动引擎加载成功", "progress 30",
                                      "开始获取规则", "rules", "获取规则成功", "progress 50",
                                      "parse {\"flow_id\":7}", "获取转换成功", "progress 80",
                                      "push", "progress 100", "规则设置成功，加速完成"}));
  SpeedEngines::stop();
  EXPECT_EQ(trace.back(), "close");
}

TEST_F(SpeedEnginesTest, FailuresEndTheStartWithTheirError) {
  // Connection refused: the connection's own error, nothing fetched.
  opens = false;
  rx::Error error;
  EXPECT_FALSE(SpeedEngines::start(&error));
  EXPECT_EQ(error.code, 17155);
  EXPECT_EQ(trace, (std::vector<std::string>{"progress 10", "open"}));

  // Rule request fails: the request's error, nothing pushed; a missing out-error is fine.
  opens = true;
  rules.reset();
  trace.clear();
  error = {};
  EXPECT_FALSE(SpeedEngines::start(&error));
  EXPECT_EQ(error.code, 102);
  EXPECT_EQ(trace.back(), "获取规则失败");
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "push"), 0);
  EXPECT_FALSE(SpeedEngines::start(nullptr));
}

}  // namespace
