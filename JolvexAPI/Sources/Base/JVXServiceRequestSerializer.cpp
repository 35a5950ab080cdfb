#include "JolvexAPI/JVXServiceRequestSerializer.h"

#include "JolvexAPI/JVXCrypto.h"
#include "Tovra/Base/TQAPIModel.h"
#include "Tovra/Codec/PercentEscape.h"

std::string JVXServiceRequestSerializer::formBody(const nlohmann::json& params) {
  // No parameters still send "{}", never "null".
  std::string json = tq::dumpJSON(params.is_null() ? nlohmann::json::object() : params);
  std::string info = JVXCrypto::encryptedStringOfString(json);
  // Keys in ascending order, as the service's form decoder expects them.
  return "info=" + tq::percentEscape(info) + "&mobile=mobile";
}

TQError JVXServiceRequestSerializer::serialize(const std::string& method, const std::string& url,
                                               const nlohmann::json& params,
                                               tq::HttpRequest& out) const {
  out.method = method;
  out.url = url;
  out.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  out.body = formBody(params);
  return {};
}
