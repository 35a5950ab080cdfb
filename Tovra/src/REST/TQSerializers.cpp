#include "Tovra/REST/TQSerializers.h"

#include <curl/curl.h>

#include "Tovra/Base/TQAPIModel.h"

namespace tq {

namespace {

std::string escape(const std::string& s) {
  char* e = curl_easy_escape(nullptr, s.data(), static_cast<int>(s.size()));
  std::string out = e ? e : "";
  curl_free(e);
  return out;
}

std::string queryOf(const nlohmann::json& params) {
  std::string q;
  if (!params.is_object()) return q;
  for (auto it = params.begin(); it != params.end(); ++it) {
    if (!q.empty()) q += '&';
    const auto& v = it.value();
    q += escape(it.key()) + "=" + escape(v.is_string() ? v.get<std::string>() : dumpJSON(v));
  }
  return q;
}

}  // namespace

TQError TQRequestSerializer::serialize(const std::string& method, const std::string& url,
                                       const nlohmann::json& params, HttpRequest& out) const {
  out.method = method;
  out.url = url;
  if (method == "GET" || method == "HEAD" || method == "DELETE") {
    std::string q = queryOf(params);
    if (!q.empty()) out.url += (url.find('?') == std::string::npos ? "?" : "&") + q;
    return {};
  }
  out.headers.emplace_back("Content-Type", "application/json");
  out.body = dumpJSON(params.is_null() ? nlohmann::json::object() : params);
  return {};
}

TQError TQResponseSerializer::checkStatus(const HttpResponse& r) {
  if (r.status >= 200 && r.status < 300) return {};
  std::string reason = r.reasonPhrase.empty() ? "" : r.reasonPhrase + " ";
  return TQError{TQAPITransportErrorDomain, TQAPITransportErrorBadStatus,
                 "Request failed: " + reason + "(" + std::to_string(r.status) + ")", std::nullopt};
}

TQError TQResponseSerializer::decode(const HttpResponse& r, nlohmann::json& out) const {
  out = nullptr;
  if (TQError e = checkStatus(r)) return e;
  // An empty or one-blank body is no object and no error.
  if (r.body.empty() || r.body == " ") return {};
  std::string type = r.mediaType();
  if (type != "application/json" && type != "text/json" && type != "text/javascript") {
    return TQError{
        TQAPITransportErrorDomain, TQAPITransportErrorBadContentType,
        "Request failed: unacceptable content-type: " + (type.empty() ? std::string("none") : type),
        std::nullopt};
  }
  TQError parseError;
  if (!parseJSON(r.body, out, &parseError)) {
    out = nullptr;
    return TQError{TQAPITransportErrorDomain, TQAPITransportErrorBadAnswer,
                   "Invalid JSON answer: " + parseError.description, std::nullopt};
  }
  return {};
}

}  // namespace tq
