#include "gelmora/Core/SpeedEngines.h"

#include <mutex>

#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsKext.h"
#include "gelmora/Service/Speed/KextHelper.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Web/TsWebService.h"

namespace rx = platform::reactive;

namespace {

std::mutex& stepsMutex() {
  static std::mutex m;
  return m;
}
SpeedEngines::Steps& currentSteps() {
  static SpeedEngines::Steps steps = SpeedEngines::defaultSteps();
  return steps;
}
SpeedEngines::Steps steps() {
  std::lock_guard lock(stepsMutex());
  return currentSteps();
}

}  // namespace

SpeedEngines::Steps SpeedEngines::defaultSteps() {
  Steps s;
  s.setProgressBar = [](int percent) { TsParams::setProgressBar(percent); };
  s.systemLog = [](std::string_view line) { LOG::console(line); };
  s.openConnection = [] {
    KextHelper::setHooks(TsParams::kextHooks());
    return KextHelper::openKextConnection();
  };
  s.closeConnection = KextHelper::unloadMessagePipe;
  s.lastConnectionError = KextHelper::getLastError;
  s.getRules = [](rx::Error* error) { return TsWebService::getRules(error); };
  // The older sequence never looked at the parse's outcome.
  s.parseRules = [](const nlohmann::json& reply) {
    TsParams::updateWithRulelistReturnObject(reply);
  };
  s.pushRules = [] { return TsParamsKext::setRulesToKext(TsParams::kextRuleSet()); };
  return s;
}

void SpeedEngines::setSteps(Steps s) {
  std::lock_guard lock(stepsMutex());
  currentSteps() = std::move(s);
}

std::optional<nlohmann::json> SpeedEngines::start(rx::Error* error) {
  Steps s = steps();
  s.setProgressBar(10);
  if (!s.openConnection()) {
    if (error) *error = s.lastConnectionError();
    return std::nullopt;
  }
  s.systemLog("驱动引擎加载成功");
  s.setProgressBar(30);
  s.systemLog("开始获取规则");
  rx::Error scratch;
  auto reply = s.getRules(error ? error : &scratch);
  if (!reply) {
    s.systemLog("获取规则失败");
    return std::nullopt;
  }
  s.systemLog("获取规则成功");
  s.setProgressBar(50);
  s.parseRules(*reply);
  s.systemLog("获取转换成功");
  s.setProgressBar(80);
  s.pushRules();
  s.setProgressBar(100);
  s.systemLog("规则设置成功，加速完成");
  return reply;
}

void SpeedEngines::stop() { steps().closeConnection(); }
