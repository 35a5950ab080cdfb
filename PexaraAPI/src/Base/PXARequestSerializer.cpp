#include "PexaraAPI/PXARequestSerializer.h"

#include "PexaraAPI/PXACrypto.h"
#include "Tovra/Codec/TQQueryString.h"

std::string PXARequestSerializer::formBody(const nlohmann::json& params) {
  const std::string info = PXACrypto::encryptedStringOfString(tq::queryString(params));
  return tq::queryString(nlohmann::json{{"info", info}});
}

TQError PXARequestSerializer::serialize(const std::string& method, const std::string& url,
                                        const nlohmann::json& params, tq::HttpRequest& out) const {
  out.method = method;
  out.url = url;
  const std::string body = formBody(params);
  if (method == "GET" || method == "HEAD" || method == "DELETE") {
    out.url += (url.find('?') == std::string::npos ? "?" : "&") + body;
    out.body.clear();
    return {};
  }
  out.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  out.body = body;
  return {};
}
