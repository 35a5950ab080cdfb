#include "gelmora/Service/Web/TsWebService.h"

#include "Tovra/Base/TQAPIConfig.h"
#include "gelmora/Core/Localization.h"
#include "gelmora/General/Helper/TsSystemInformation.h"
#include "gelmora/Service/Params/TsParams.h"
#include "gelmora/Service/Params/TsParamsDirectory.h"
#include "gelmora/Service/Tools/LOG.h"
#include "gelmora/Service/Tools/TsStringHelper.h"
#include "gelmora/Service/Web/TsWebEscape.h"
#include "gelmora/Shared/Tessaryn.h"

namespace {

using nlohmann::json;
using TsWebEscape::urlEscape;

constexpr const char* kStartupPath = "/q5client/parameters/startup";
constexpr const char* kLoginPath = "/q5client/user/login";
constexpr const char* kVerifyPath = "/q5client/phone/verify-code";
constexpr const char* kRulesPath = "/q5client/rule/list";
constexpr const char* kSpeedEndPath = "/q5client/speed/end";
constexpr const char* kLogoutPath = "/q5client/user/logout";
constexpr const char* kHeartbeatPath = "/q5client/user/heartbeat";
constexpr const char* kAreaIspPath = "/q5client/rule/area-isp-list";

std::string machineFields() {
  return "&mac=" + urlEscape(TsSystemInformation::macAddress()) +
         "&client_version=" + urlEscape(TsSystemInformation::clientVersion()) +
         "&system_plat=pc&system=macOs&os_version=" + urlEscape(TsSystemInformation::osVersion()) +
         "&clint_ip=" + urlEscape(TsSystemInformation::localIPAddress());
}

std::string uidField() { return "uid=" + std::to_string(TsParams::getUid()); }

std::int64_t codeOf(const json& answer) {
  auto it = answer.find("code");
  if (it == answer.end()) return 0;
  if (it->is_number_integer()) return it->get<std::int64_t>();
  if (it->is_string()) {
    try {
      return std::stoll(it->get<std::string>());
    } catch (...) {
      return 0;
    }
  }
  return 0;
}

std::string infoOf(const json& answer) {
  auto it = answer.find("info");
  return it != answer.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The record of the last acceleration, as the rule store saved it under the package key.
std::optional<json> lastAccelerationRecord() {
  auto key = TsParams::getPacketId();
  if (!key) {
    LOG::console("没有套餐编号，不读取上次加速的出入口信息");
    return std::nullopt;
  }
  auto store = TsParamsDirectory::store();
  std::optional<std::string> text = store->textValue(*key);
  if (!text) {
    if (auto bytes = store->bytesValue(*key)) text = std::string(bytes->begin(), bytes->end());
  }
  std::optional<json> record = text ? Tessaryn::jsonDecode(*text) : std::nullopt;
  if (record && !record->is_object()) record.reset();
  LOG::console("上次加速的出入口信息: " + (record ? record->dump() : std::string("(null)")));
  return record;
}

std::optional<json> selectedAreaId() {
  auto text = TsParamsDirectory::store()->textValue("selectedNetNode");
  if (!text || text->empty()) return std::nullopt;
  auto node = Tessaryn::jsonDecode(*text);
  if (!node || !node->is_object()) return std::nullopt;
  auto it = node->find("areaId");
  if (it == node->end() || it->is_null()) return std::nullopt;
  return *it;
}

}  // namespace

std::string TsWebService::startupForm() {
  return "platform=OSX&client_version=" + urlEscape(TsSystemInformation::clientVersion()) +
         "&language=zh-CN";
}

std::string TsWebService::loginForm(const std::string& phone, const std::string& countryCode,
                                    const std::string& smsCode) {
  return "phone=" + urlEscape(phone) + "&country_code=" + countryCode +
         "&sms_code=" + urlEscape(smsCode) + machineFields() + "&sms_code_type=MACOS_LOGIN";
}

std::string TsWebService::autoLoginForm(const std::string& token) {
  return "token=" + TsStringHelper::urlEncode(token) + machineFields();
}

std::string TsWebService::verifyForm(const std::string& phone, const std::string& countryCode) {
  return "phone=" + urlEscape(phone) + "&type=MACOS_LOGIN&country_code=" + countryCode;
}

std::string TsWebService::rulesBody() {
  // Field order matters to the service; every field with a value is sent.
  nlohmann::ordered_json body;
  body["uid"] = std::to_string(TsParams::getUid());
  body["mac"] = TQAPIConfig::sharedInstance().userIdentify();
  if (auto record = lastAccelerationRecord()) {
    for (const char* key : {"entrances", "exits"}) {
      auto it = record->find(key);
      if (it != record->end() && !it->is_null()) body[key] = *it;
    }
  }
  if (auto area = selectedAreaId()) body["area_id"] = *area;
  return body.dump(2, ' ', false, json::error_handler_t::replace);
}

TsWebService::Answer TsWebService::startup(TQError* error) {
  const auto hosts = TsParams::getDomainList();
  for (const auto& host : hosts) {
    TsParams::setUseddomain(host);
    TQError e;
    if (auto answer = TsHttpHelper::POST(kStartupPath, startupForm(), &e)) {
      if (error) *error = TQError{};
      return answer;
    }
    if (error) *error = e;
  }
  return std::nullopt;
}

TsWebService::Answer TsWebService::login(const UserModel& user, TQError* error) {
  auto answer = TsHttpHelper::POST(
      kLoginPath,
      loginForm(user.username().value_or(""), user.countryCode(), user.password().value_or("")),
      error);
  if (!answer) return answer;
  LOG::console("登录成功，更新相关参数");
  if (codeOf(*answer) == 107) {
    LOG::console("登录返回值 107 " + infoOf(*answer));
  } else {
    TsParams::updateWithLoginReturnObject(*answer);
  }
  return answer;
}

TsWebService::Answer TsWebService::autoLogin(const std::string& token, TQError* error) {
  auto answer = TsHttpHelper::POST(kLoginPath, autoLoginForm(token), error);
  if (!answer) return answer;
  if (codeOf(*answer) == 107) {
    LOG::console("登录返回值 107 " + infoOf(*answer));
  } else {
    LOG::console("登录成功，更新相关参数");
    TsParams::updateWithLoginReturnObject(*answer);
  }
  return answer;
}

TsWebService::Answer TsWebService::loginWithVerification(const std::string& phone,
                                                         const std::string& countrycode,
                                                         const std::string& verification,
                                                         TQError* error) {
  auto answer = TsHttpHelper::POST(kLoginPath, loginForm(phone, countrycode, verification), error);
  if (!answer) return answer;
  LOG::console("登录成功，更新相关参数");
  TsParams::updateWithLoginReturnObject(*answer);
  return answer;
}

void TsWebService::GetVerificatiuon(const UserModel& user) {
  TQError error;
  auto answer = TsHttpHelper::POST(
      kVerifyPath, verifyForm(user.username().value_or(""), user.countryCode()), &error);
  LOG::console(answer ? "验证码发送成功" : "验证码发发送失败");
}

bool TsWebService::Verification(const std::string& phone, const std::string& countrycode,
                                TQError* error) {
  TQError e;
  auto answer = TsHttpHelper::POST(kVerifyPath, verifyForm(phone, countrycode), &e);
  if (answer && codeOf(*answer) == 107) {
    if (error) {
      *error = TQError{"", 0, gelmora::localizedString(infoOf(*answer)),
                       gelmora::localizedString("再来一次吧~")};
    }
    return false;
  }
  if (!answer) {
    if (error) *error = e;
    LOG::console("验证码发发送失败");
    return false;
  }
  LOG::console("验证码发送成功");
  return true;
}

TsWebService::Answer TsWebService::getRules(TQError* error) {
  return TsHttpHelper::POST_JSON(kRulesPath, rulesBody(), error);
}

TsWebService::Answer TsWebService::stopSpeed(TQError* error) {
  return TsHttpHelper::POST(kSpeedEndPath,
                            uidField() + "&mac=" + urlEscape(TsSystemInformation::macAddress()) +
                                "&flow_id=" + TsParams::getFlowId(),
                            error);
}

TsWebService::Answer TsWebService::logout(TQError* error) {
  return TsHttpHelper::POST(
      kLogoutPath,
      uidField() + "&mac=" + urlEscape(TsSystemInformation::macAddress()) + "&system=macOs", error);
}

TsWebService::Answer TsWebService::heartBeat(TQError* error) {
  return TsHttpHelper::POST(
      kHeartbeatPath,
      uidField() + "&mac=" + urlEscape(TsSystemInformation::macAddress()) + "&language=zh-CN",
      error);
}

TsWebService::Answer TsWebService::getAreaispDownloadAddress(TQError* error) {
  return TsHttpHelper::POST(kAreaIspPath, "<NULL>", error);
}

void TsWebService::AsynGetAreaispDownloadAddress() {
  TsHttpHelper helper;
  helper.setTaskProtocol(taskProtocol_);
  helper.ASYN_POST(kAreaIspPath, "<NULL>");
}

std::string TsWebService::RuquestWebPostfix() {
  std::string fields =
      "system_name=MAC-OS&os_version=" + urlEscape(TsSystemInformation::osVersion()) +
      "&client_version=" + urlEscape(TsSystemInformation::clientVersion()) + "&system_plat=pc&" +
      uidField() + "&mac=" + urlEscape(TsSystemInformation::macAddress()) +
      "&language=zh-CN&wx_installed=0";
  return "?logincode=" + urlEscape(fields);
}
