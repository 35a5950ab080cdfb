#pragma once
// Request and response serialisers of an engine's session manager. Service engines plug in their
// own (an enciphered envelope, a form body); the base ones speak plain JSON.
#include <nlohmann/json.hpp>
#include <string>

#include "Tovra/Base/TQConstants.h"
#include "Tovra/REST/HttpTransport.h"

namespace tq {

class TQRequestSerializer {
 public:
  virtual ~TQRequestSerializer() = default;
  // Fills method, URL (with a query for GET, HEAD and DELETE), headers and body from the
  // parameters. An error refuses the request.
  virtual TQError serialize(const std::string& method, const std::string& url,
                            const nlohmann::json& params, HttpRequest& out) const;
};

class TQResponseSerializer {
 public:
  virtual ~TQResponseSerializer() = default;
  // Decodes the answer into out (null when there is no answer object). An error fails the call.
  virtual TQError decode(const HttpResponse& response, nlohmann::json& out) const;

 protected:
  // The checks every serialiser shares: a 2xx status.
  static TQError checkStatus(const HttpResponse& response);
};

// JSON answers: status 200-299, content type application/json, text/json or text/javascript;
// an empty or one-blank body is no object and no error.
using TQJSONResponseSerializer = TQResponseSerializer;
using TQJSONRequestSerializer = TQRequestSerializer;

}  // namespace tq
