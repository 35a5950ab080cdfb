#pragma once
// Finds the public address and its location. Each lookup is a cold signal: every subscription
// sends one request and delivers one record then completion, or one error; disposing cancels the
// request. Events arrive on the main queue.
#include <memory>
#include <string>
#include <string_view>

#include "Tovra/REST/HttpTransport.h"
#include "gelmora/Services/TsUserGEOInfo.h"
#include "platform/reactive/Signal.h"

class TsfetchIPService {
 public:
  using GeoSignal = platform::reactive::Signal<TsUserGEOInfo>;
  using TransportPtr = std::shared_ptr<tq::HttpTransport>;

  // The lookup the application uses: the service's own endpoint (setting GeoServiceHost of the
  // current environment, plain HTTP, path "/").
  static GeoSignal fetchPublicIP();

  // POST "mobile=mobile" to `url`; the answer is the account service's AES envelope. A transport
  // failure (time-out included) is the error; a body that does not open or parse gives an empty
  // record.
  static GeoSignal tarvoService(std::string url, double timeoutSeconds = 4.0,
                                TransportPtr transport = nullptr);
  // GET `url` (a ".../service/getIpInfo.php" address; "?ip=myip" is added). Never fails.
  static GeoSignal taobaoService(std::string url, double timeoutSeconds = 3.0,
                                 TransportPtr transport = nullptr);
  // GET `url` of an address-echo page. Never fails.
  static GeoSignal ipipService(std::string url, double timeoutSeconds = 3.0,
                               TransportPtr transport = nullptr);

  // The answer readers, for the lookups and their fuzz target; never fail, never read past the
  // body.
  static TsUserGEOInfo parseServiceAnswer(std::string_view body);
  static TsUserGEOInfo parseTaobaoAnswer(std::string_view body);
  static TsUserGEOInfo parseIpipAnswer(std::string_view body);
};
