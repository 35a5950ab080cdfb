// The outside-account page's "userLoginSuccess" message: any input gives one outcome and never
// throws. Input starting with '!' is the rest read as a JSON value of any kind (what the page may
// hand over); anything else is the message text itself. An account is read only from text holding
// an object whose "data" is an object, and its token is "auto_login_token" exactly when that is
// text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gelmora/Sections/Login/ThirdLoginMessage.h"

using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  json value;
  if (!input.empty() && input[0] == '!') {
    value = json::parse(input.substr(1), nullptr, false);
    if (value.is_discarded()) return 0;
  } else {
    value = input;
  }

  const ThirdLoginMessage message = ThirdLoginMessage::read(value);
  if (!value.is_string()) {
    if (message.outcome != ThirdLoginMessage::Outcome::Close) std::abort();
    return 0;
  }
  if (message.outcome == ThirdLoginMessage::Outcome::Close) std::abort();

  const std::string& text = value.get_ref<const std::string&>();
  if (text.size() > ThirdLoginMessage::kMaxMessageBytes) {
    if (message.outcome != ThirdLoginMessage::Outcome::Ignored) std::abort();
    return 0;
  }
  const json parsed = json::parse(text, nullptr, false);
  switch (message.outcome) {
    case ThirdLoginMessage::Outcome::Close:
      break;
    case ThirdLoginMessage::Outcome::Failed:
      if (!parsed.is_object() || !parsed.contains("code")) std::abort();
      if (!parsed.contains("info") && !message.failureText.empty()) std::abort();
      break;
    case ThirdLoginMessage::Outcome::Ignored:
      if (!message.failureText.empty() || message.token || message.verified) std::abort();
      break;
    case ThirdLoginMessage::Outcome::Account: {
      if (!parsed.is_object() || !parsed.contains("data") || !parsed["data"].is_object()) {
        std::abort();
      }
      const json& account = parsed["data"];
      auto token = account.find("auto_login_token");
      const bool textToken = token != account.end() && token->is_string();
      if (message.token.has_value() != textToken) std::abort();
      if (textToken && *message.token != token->get<std::string>()) std::abort();
      if (message.verified && !account.contains("real_name_verification")) std::abort();
      break;
    }
  }
  return 0;
}
