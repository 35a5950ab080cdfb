#include "gelmora/Legacy/LegacyLoginRules.h"

namespace LegacyLoginRules {

bool isDigits(const std::string& phone) {
  for (char c : phone) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

CodeRequest checkCodeRequest(const LegacyLoginForm& f, int form, int times,
                             const std::string& pictureCode) {
  const char* kFail = "获取验证码失败";
  if (f.countryCode.empty()) return {CodeRequest::Fail, {kFail, "国家区号不能为空"}};
  if (f.phone.empty()) return {CodeRequest::Fail, {kFail, "手机号不能为空"}};
  if (!isDigits(f.phone)) return {CodeRequest::Fail, {kFail, "请输入合法的手机号"}};
  if (times >= 3 && form == 1) return {CodeRequest::SwitchToForm2, {}};
  if (form == 2 && f.pictureEntry != pictureCode) {
    return {CodeRequest::Fail, {"登录失败", "图形验证码输入错误", true}};
  }
  return {CodeRequest::Send, {}};
}

LegacyLoginFailure codeRequestFailed(const std::optional<std::string>& errorDescription) {
  if (errorDescription) return {"获取验证码失败", *errorDescription};
  return {"获取验证码失败", "验证码发送失败，查看本地网络连接是否正常"};
}

std::optional<LegacyLoginFailure> checkSignIn(const LegacyLoginForm& f, int form,
                                              const std::string& pictureCode) {
  const char* kFail = "登录失败";
  if (f.countryCode.empty()) return LegacyLoginFailure{kFail, "国家区号不能为空"};
  if (f.phone.empty()) return LegacyLoginFailure{kFail, "手机号不能为空"};
  if (form == 2 && f.pictureEntry != pictureCode) {
    return LegacyLoginFailure{kFail, "图形验证码输入错误", true};
  }
  if (f.smsCode.empty()) return LegacyLoginFailure{kFail, "验证码不能为空"};
  if (!isDigits(f.phone)) return LegacyLoginFailure{kFail, "请输入合法的手机号"};
  return std::nullopt;
}

std::string pictureCode(const std::function<std::uint32_t()>& draw) {
  std::string out;
  for (int i = 0; i < 6; ++i) out += static_cast<char>('0' + draw() % 10);
  return out;
}

}  // namespace LegacyLoginRules
