#include "JolvexAPI/JVXServiceSerializers.h"

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

TQError JVXServiceResponseSerializer::decode(const tq::HttpResponse& response,
                                             nlohmann::json& out) const {
  out = nullptr;
  auto plain = JVXCrypto::decryptedDataFromData(response.body);
  if (!plain || plain->empty() || *plain == " ")
    return TQError{TQAPILocalErrorDomain, 0, kJVXDecryptFailedText, std::nullopt};
  // Plaintext that is not a JSON object or list fails the call rather than succeeding with
  // nothing mapped.
  if (!tq::parseJSON(*plain, out)) {
    out = nullptr;
    return TQError{TQAPILocalErrorDomain, 0, kJVXNotJSONText, std::nullopt};
  }
  return {};
}
