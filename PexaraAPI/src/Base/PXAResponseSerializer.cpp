#include "PexaraAPI/PXAResponseSerializer.h"

#include "PexaraAPI/PXACrypto.h"
#include "Tovra/Base/TQAPIModel.h"

namespace {

const char* reasonPhrase(long status) {
  // Reason phrases of the HTTP standard.
  switch (status) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 205:
      return "Reset Content";
    case 206:
      return "Partial Content";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 305:
      return "Use Proxy";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 402:
      return "Payment Required";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 407:
      return "Proxy Authentication Required";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Range Not Satisfiable";
    case 417:
      return "Expectation Failed";
    case 421:
      return "Misdirected Request";
    case 422:
      return "Unprocessable Content";
    case 426:
      return "Upgrade Required";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
    default:
      break;
  }
  if (status >= 100 && status < 200) return "Informational";
  if (status >= 200 && status < 300) return "Success";
  if (status >= 300 && status < 400) return "Redirection";
  if (status >= 400 && status < 500) return "Client Error";
  if (status >= 500 && status < 600) return "Server Error";
  return "Unknown Status";
}

}  // namespace

std::string PXAResponseSerializer::statusText(long status) {
  return std::to_string(status) + ": " + reasonPhrase(status);
}

TQError PXAResponseSerializer::decode(const tq::HttpResponse& response, nlohmann::json& out) const {
  out = nullptr;
  auto plain = PXACrypto::decryptedDataFromData(response.body);
  // Undecodable base64 unscrambles to empty bytes: a failure like no marker at all.
  if (!plain || plain->empty() || *plain == " ") {
    if (response.status > 0) {
      return TQError{TQAPILocalErrorDomain, response.status, statusText(response.status), {}};
    }
    return TQError{TQAPILocalErrorDomain, 0, "解密失败", {}};
  }
  // Plaintext that is no JSON object or list cannot carry an answer; succeeding with nothing
  // mapped would report a failure as success.
  nlohmann::json parsed;
  if (!tq::parseJSON(*plain, parsed, nullptr) || !(parsed.is_object() || parsed.is_array())) {
    return TQError{TQAPILocalErrorDomain, 0, "Answer is not valid JSON", {}};
  }
  out = std::move(parsed);
  return {};
}
