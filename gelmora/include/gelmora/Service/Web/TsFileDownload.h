#pragma once
// The one file download of the older layer: http/https only, an idle time-out, an overall
// deadline and a size cap. The body goes into a temporary file beside the target, which replaces
// the target only once the whole body is on disk; a failure leaves the old file as it was.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "Tovra/Base/TQConstants.h"

struct TsDownloadLimits {
  std::chrono::milliseconds idle{8000};       // no byte moved for this long: time-out
  std::chrono::milliseconds deadline{60000};  // whole transfer
  std::size_t cap = 64u << 20;                // bytes
  // Set (from any thread) to end the transfer early: answers Transport, "cancelled".
  const std::atomic<bool>* cancel = nullptr;
};

struct TsDownloadOutcome {
  enum class Kind { Done, Refused, Transport, Empty, WriteFailed, Rejected };
  Kind kind = Kind::Done;
  TQError error;  // empty for Done and Empty
  bool ok() const { return kind == Kind::Done; }
};

class TsFileDownload {
 public:
  // Runs on the calling thread. `accept`, when given, sees the finished temporary file's path
  // before it replaces the target; false keeps the old file and answers Rejected with the
  // error it set.
  using Check = std::function<bool(const std::string& tempPath, TQError& error)>;
  // Bytes received and the announced length (-1 when unknown), on the transfer's thread.
  using Progress = std::function<void(std::uint64_t received, std::int64_t expected)>;
  static TsDownloadOutcome download(const std::string& url, const std::string& savePath,
                                    const TsDownloadLimits& limits, const Check& accept = {},
                                    const Progress& progress = {});
  // True for a non-empty address with the scheme http or https (any case).
  static bool isWebAddress(const std::string& url);
};
