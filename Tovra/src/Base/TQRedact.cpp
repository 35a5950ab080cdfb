#include "Tovra/Base/TQRedact.h"

#include <array>

#include "Tovra/Base/TQAPIModel.h"

namespace tq {

namespace {
constexpr std::array<std::string_view, 10> kAlwaysSecret = {
    "token",       "login_token", "access_token", "auth_code",    "sms_code",
    "verify_code", "checkcode",   "receipt",      "receipt_data", "password"};
constexpr std::array<std::string_view, 2> kRequestSecret = {"code", "info"};
constexpr const char* kMask = "***";

nlohmann::json redactedAt(const nlohmann::json& value, Side side, int depth) {
  if (depth > kMaxJSONDepth) return kMask;  // nothing that deep is worth showing
  if (value.is_object()) {
    nlohmann::json out = nlohmann::json::object();
    for (auto it = value.begin(); it != value.end(); ++it) {
      out[it.key()] = isSecretKey(it.key(), side) ? nlohmann::json(kMask)
                                                  : redactedAt(it.value(), side, depth + 1);
    }
    return out;
  }
  if (value.is_array()) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& e : value) out.push_back(redactedAt(e, side, depth + 1));
    return out;
  }
  return value;
}
}  // namespace

bool isSecretKey(std::string_view key, Side side) {
  for (auto k : kAlwaysSecret) {
    if (key == k) return true;
  }
  // New, old and confirmed passwords alike.
  if (key.find("password") != std::string_view::npos) return true;
  if (side == Side::Request) {
    for (auto k : kRequestSecret) {
      if (key == k) return true;
    }
  }
  return false;
}

nlohmann::json redacted(const nlohmann::json& value, Side side) {
  return redactedAt(value, side, 0);
}

std::string redactedForm(std::string_view form, Side side) {
  std::string out;
  size_t pos = 0;
  while (pos <= form.size()) {
    size_t amp = form.find('&', pos);
    if (amp == std::string_view::npos) amp = form.size();
    std::string_view pair = form.substr(pos, amp - pos);
    size_t eq = pair.find('=');
    if (!out.empty() || pos > 0) out += '&';
    if (eq != std::string_view::npos && isSecretKey(pair.substr(0, eq), side)) {
      out.append(pair.substr(0, eq + 1));
      out += kMask;
    } else {
      out.append(pair);
    }
    pos = amp + 1;
  }
  return out;
}

std::string redactedText(std::string_view text, Side side) {
  nlohmann::json j;
  if (parseJSON(text, j)) return dumpJSON(redacted(j, side));
  return redactedForm(text, side);
}

}  // namespace tq
