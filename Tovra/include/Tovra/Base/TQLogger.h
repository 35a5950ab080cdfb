#pragma once
// Pluggable logger of the REST engine. The slot is empty at start: engine lines go nowhere until a
// host installs a logger (TQLogger itself writes to the system log).
#include <memory>
#include <string>

class TQLoggerProtocol {
 public:
  virtual ~TQLoggerProtocol() = default;
  virtual void logInfo(const std::string& text) = 0;
  virtual void logWarn(const std::string& text) = 0;
  virtual void logError(const std::string& text) = 0;
};

// Writes one system-log line per call.
class TQLogger : public TQLoggerProtocol {
 public:
  void logInfo(const std::string& text) override;
  void logWarn(const std::string& text) override;
  void logError(const std::string& text) override;

  // The current logger; empty until set.
  static void setLogger(std::shared_ptr<TQLoggerProtocol> logger);
  static std::shared_ptr<TQLoggerProtocol> logger();
};

namespace tq {
// Send a line to the current logger, if any.
void logInfo(const std::string& text);
void logWarn(const std::string& text);
void logError(const std::string& text);
}  // namespace tq
