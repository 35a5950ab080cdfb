#include "gelmora/Service/Safe/SecurityManager.h"

#include "../../Shared/TextSupport.h"
#include "gelmora/Core/Localization.h"

namespace {

bool fail(platform::reactive::Error* error, long long code, const char* descriptionKey,
          const char* suggestionKey) {
  if (error) {
    *error = platform::reactive::Error{"", code, gelmora::localizedString(descriptionKey),
                                       gelmora::localizedString(suggestionKey)};
  }
  return false;
}

bool allDecimalDigits(const std::string& text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool SecurityManager::Authenticate(const UserModel& user, platform::reactive::Error* error) {
  using gelmora::text::utf16Length;
  const std::string username = user.username().value_or("");
  const std::string password = user.password().value_or("");
  const auto usernameLength = utf16Length(username);
  const auto passwordLength = utf16Length(password);

  if (usernameLength == 0) return fail(error, kUsernameEmpty, "用户名长度不能为0", "请输入用户名");
  if (usernameLength > 32) {
    return fail(error, kUsernameTooLong, "用户名长度不能大于32位", "重新输入合法用户名");
  }
  if (user.type() == 0 && username.find('@') == std::string::npos) {
    return fail(error, kEmailInvalid, "输入的邮箱不合法", "重新输入合法用户名");
  }
  if (user.type() == 1 && !allDecimalDigits(username)) {
    return fail(error, kPhoneInvalid, "输入的手机号不合法", "重新输入合法用户名");
  }
  if (passwordLength == 0) return fail(error, kPasswordEmpty, "密码长度不能为0", "请输入密码");
  if (passwordLength < 6) {
    return fail(error, kPasswordTooShort, "密码长度不能小于6位", "请重新输入密码");
  }
  if (passwordLength > 32) {
    return fail(error, kPasswordTooLong, "密码长度不能大于32位", "请重新输入密码");
  }
  return true;
}
