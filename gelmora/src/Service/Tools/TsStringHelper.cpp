#include "gelmora/Service/Tools/TsStringHelper.h"

#include "gelmora/Shared/NSString.h"
#include "gelmora/Shared/Tessaryn.h"

std::string TsStringHelper::urlEncode(std::string_view text) { return Tessaryn::urlEncode(text); }

std::optional<nlohmann::json> TsStringHelper::jsonDecode(std::optional<std::string_view> text) {
  return Tessaryn::jsonDecode(text);
}

std::string TsStringHelper::md5DigestWithString(std::string_view text) {
  return NSString::MD5(text);
}

std::string TsStringHelper::mixUid(const nlohmann::json& uid) {
  if (uid.is_string()) return Tessaryn::uidEncrypt(uid.get<std::string>());
  if (uid.is_number()) return Tessaryn::uidEncrypt(uid.dump());
  // Replacement keeps a value with broken UTF-8 printable instead of throwing.
  return "15" + uid.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "54";
}
