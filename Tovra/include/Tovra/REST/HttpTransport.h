#pragma once
// The HTTP transport under the engines: one request in, one outcome out on a given queue.
#include <platform/dispatch/Queue.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Tovra/Base/TQConstants.h"

namespace tq {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  HttpHeaders headers;
  std::string body;
  // Seconds: connect within it, and fail when no byte moves for that long.
  double timeoutInterval = 60.0;
  // Seconds the whole call may take, however slowly bytes keep arriving; 0: three times the
  // time-out, so a server that drips one byte at a time cannot hold a call for ever.
  double deadline = 0;
  // Largest answer body accepted; 0: the transport's own cap (a few MiB for API answers).
  size_t maxBodySize = 0;
};

struct HttpResponse {
  long status = 0;
  std::string reasonPhrase;
  HttpHeaders headers;  // as received, in order
  std::string body;
  std::string url;  // final URL after redirects

  // The first header of that name (case-insensitive), or empty text.
  std::string header(const std::string& name) const;
  // The media type of Content-Type, lower-case, without parameters.
  std::string mediaType() const;
};

// Called on the queue given with the request; error is empty on success (any HTTP status).
using HttpCompletion = std::function<void(const HttpResponse& response, const TQError& error)>;
// Called on the transport's own thread with the completed fraction (0.0 to 1.0).
using HttpProgress = std::function<void(double fraction)>;

struct HttpCallbacks {
  HttpProgress uploadProgress;
  HttpProgress downloadProgress;
  HttpCompletion completion;
  // Where completion runs; the main queue when null.
  platform::dispatch::QueuePtr queue;
};

class HttpTask {
 public:
  virtual ~HttpTask() = default;
  // Ends the task; its completion then reports a cancellation error (once, as always).
  virtual void cancel() = 0;
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  virtual std::shared_ptr<HttpTask> start(HttpRequest request, HttpCallbacks callbacks) = 0;
};

}  // namespace tq
