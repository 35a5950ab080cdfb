#include "gelmora/Sections/Login/ThirdLoginMessage.h"

#include "Tovra/Base/TQAPIModel.h"
#include "gelmora/Core/Log.h"

using nlohmann::json;

ThirdLoginMessage ThirdLoginMessage::read(const json& data) {
  ThirdLoginMessage result;
  if (!data.is_string()) {
    result.outcome = Outcome::Close;
    return result;
  }
  const std::string& text = data.get_ref<const std::string&>();
  json message = json::object();
  if (text.size() > kMaxMessageBytes) {
    gelmora::logLine("userLoginSuccess: message of " + std::to_string(text.size()) +
                     " bytes not read");
  } else {
    json parsed = json::parse(text, nullptr, false);
    if (parsed.is_object()) message = std::move(parsed);
  }

  auto code = message.find("code");
  if (code != message.end() && tq::integerValue(*code) != 0) {
    result.outcome = Outcome::Failed;
    auto info = message.find("info");
    if (info != message.end()) {
      result.failureText = info->is_string() ? info->get<std::string>() : info->dump();
    }
    return result;
  }

  auto found = message.find("data");
  if (found == message.end() || !found->is_object()) return result;  // Ignored
  const json& account = *found;
  result.outcome = Outcome::Account;
  auto token = account.find("auto_login_token");
  if (token != account.end() && token->is_string()) result.token = token->get<std::string>();
  if (auto info = tq::fromDictionary<JVX_USER_INFO>(account)) result.userInfo = std::move(*info);
  result.verified = result.userInfo.real_name_verification &&
                    result.userInfo.real_name_verification->intValue() == 1;
  return result;
}
