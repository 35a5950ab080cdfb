#pragma once
// Blocking libcurl transfers of the older layer, on the calling thread, with errors in the REST
// engine's transport domain.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Tovra/Base/TQConstants.h"

namespace older {

struct CurlOutcome {
  TQError error;  // empty when an answer came, whatever its status
  long status = 0;
  std::string body;
};

struct CurlOptions {
  std::string method = "POST";
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
  std::chrono::milliseconds total{15000};  // whole transfer; 0 = none
  std::chrono::milliseconds idle{0};       // no byte moved for this long; 0 = none
  std::size_t cap = 64u << 20;
  // Receives the body instead of CurlOutcome::body when set; false aborts as a write error.
  std::function<bool(const char* data, std::size_t size)> sink;
  // Bytes received so far and the announced length (-1 when unknown), after each block, on the
  // transfer's thread.
  std::function<void(std::uint64_t received, std::int64_t expected)> progress;
  // When set and true, the transfer ends at its next progress check (within about a second).
  const std::atomic<bool>* cancel = nullptr;
};

CurlOutcome perform(const std::string& url, const CurlOptions& options);

}  // namespace older
