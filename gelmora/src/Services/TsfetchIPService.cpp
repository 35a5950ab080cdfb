#include "gelmora/Services/TsfetchIPService.h"

#include <nlohmann/json.hpp>

#include "JolvexAPI/JVXCrypto.h"
#include "Tovra/REST/CurlTransport.h"
#include "gelmora/Core/AppEnvironment.h"
#include "gelmora/Core/Log.h"
#include "gelmora/Service/Tools/TsUtils.h"
#include "platform/dispatch/Queue.h"

using platform::reactive::Disposable;
using platform::reactive::SubscriberPtr;

namespace {

std::optional<std::string> textField(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// Utf-8 characters of a text (a broken sequence counts one per byte), as the lookup counts them.
size_t skipCharacters(std::string_view text, size_t count) {
  size_t i = 0;
  while (count > 0 && i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (i + len > text.size()) len = 1;
    i += len;
    --count;
  }
  return count == 0 ? i : std::string_view::npos;
}

using Parser = TsUserGEOInfo (*)(std::string_view);

// One request per subscription; the outcome is read on the main queue.
TsfetchIPService::GeoSignal lookup(tq::HttpRequest request,
                                   TsfetchIPService::TransportPtr transport, Parser parse,
                                   bool failOnTransportError) {
  if (!transport) transport = tq::CurlTransport::shared();
  return TsfetchIPService::GeoSignal::create(
      [request = std::move(request), transport, parse,
       failOnTransportError](const SubscriberPtr<TsUserGEOInfo>& s) {
        tq::HttpCallbacks callbacks;
        callbacks.queue = platform::dispatch::mainQueue();
        callbacks.completion = [s, parse, failOnTransportError](const tq::HttpResponse& response,
                                                                const TQError& error) {
          if (error) {
            if (failOnTransportError) {
              s->sendError(error);
              return;
            }
            s->sendNext(TsUserGEOInfo{});
            s->sendCompleted();
            return;
          }
          s->sendNext(parse(response.body));
          s->sendCompleted();
        };
        auto task = transport->start(request, std::move(callbacks));
        return Disposable::create([s, task] {
          // The subscriber is stopped first, so the cancellation it causes is not delivered.
          s->dispose();
          if (task) task->cancel();
        });
      });
}

}  // namespace

TsUserGEOInfo TsfetchIPService::parseServiceAnswer(std::string_view body) {
  TsUserGEOInfo info;
  auto bytes = JVXCrypto::decryptedDataFromData(body);
  if (!bytes || bytes->empty() || *bytes == " ") return info;
  auto doc = nlohmann::json::parse(*bytes, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return info;
  auto data = doc.find("data");
  if (data == doc.end() || !data->is_object()) return info;
  info.country = textField(*data, "country");
  info.city = textField(*data, "city");
  info.publicIP = textField(*data, "ip");
  return info;
}

TsUserGEOInfo TsfetchIPService::parseTaobaoAnswer(std::string_view body) {
  TsUserGEOInfo info;
  auto doc = nlohmann::json::parse(body, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return info;
  auto code = doc.find("code");
  if (code == doc.end()) return info;
  auto n = TsUtilIntegerValueNumberGuard(*code);
  if (!n || !n->is_number()) return info;
  // The code's integer part must be 0, that is -1 < code < 1; a value beyond any integer type
  // (588888888388888888888) is simply not 0 and is never converted.
  const double code_value = n->get<double>();
  if (!(code_value > -1.0 && code_value < 1.0)) return info;
  auto data = doc.find("data");
  if (data == doc.end() || !data->is_object()) return info;
  info.publicIP = textField(*data, "ip");
  info.countryCode = textField(*data, "country_id");
  return info;
}

TsUserGEOInfo TsfetchIPService::parseIpipAnswer(std::string_view body) {
  TsUserGEOInfo info;
  size_t start = skipCharacters(body, 6);
  if (start == std::string_view::npos || start >= body.size()) return info;
  std::string_view rest = body.substr(start);
  size_t blank = rest.find(' ');
  std::string part =
      blank == std::string_view::npos ? std::string() : std::string(rest.substr(0, blank));
  if (TsUtilIsStringValidIPAddress(std::optional<std::string>(part))) info.publicIP = part;
  return info;
}

TsfetchIPService::GeoSignal TsfetchIPService::fetchPublicIP() {
  std::string host;
  if (auto env = AppEnvironment::currentEnvironment())
    host = env->setting(AppEnvironment::kGeoServiceHost);
  return tarvoService("http://" + host + "/");
}

TsfetchIPService::GeoSignal TsfetchIPService::tarvoService(std::string url, double timeout,
                                                           TransportPtr transport) {
  tq::HttpRequest request;
  request.method = "POST";
  request.url = std::move(url);
  request.body = "mobile=mobile";
  request.timeoutInterval = timeout;
  return lookup(std::move(request), std::move(transport), &parseServiceAnswer, true);
}

TsfetchIPService::GeoSignal TsfetchIPService::taobaoService(std::string url, double timeout,
                                                            TransportPtr transport) {
  tq::HttpRequest request;
  request.method = "GET";
  request.url = std::move(url) + "?ip=myip";
  request.timeoutInterval = timeout;
  return lookup(std::move(request), std::move(transport), &parseTaobaoAnswer, false);
}

TsfetchIPService::GeoSignal TsfetchIPService::ipipService(std::string url, double timeout,
                                                          TransportPtr transport) {
  tq::HttpRequest request;
  request.method = "GET";
  request.url = std::move(url);
  request.timeoutInterval = timeout;
  return lookup(std::move(request), std::move(transport), &parseIpipAnswer, false);
}
