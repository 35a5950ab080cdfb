#pragma once
// A logger that keeps every line, and a scope that installs it with chosen options.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTunnelOptions.h"

class RecordingLogger : public GVLogger {
 public:
  void logInfo(const std::string& t) override { add("I " + t); }
  void logWarn(const std::string& t) override { add("W " + t); }
  void logError(const std::string& t) override { add("E " + t); }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  void add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

struct LoggingScope {
  std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
  explicit LoggingScope(GVTunnelOptions options = enabled()) {
    GVTunnelOptions::setCurrentOptions(std::make_shared<const GVTunnelOptions>(options));
    GVLogger::setLogger(logger);
  }
  ~LoggingScope() {
    GVLogger::setLogger(nullptr);
    GVTunnelOptions::setCurrentOptions(
        std::make_shared<const GVTunnelOptions>(GVTunnelOptions::defaultOptions()));
  }
  static GVTunnelOptions enabled() {
    auto o = GVTunnelOptions::defaultOptions();
    o.logEnable = true;
    return o;
  }
};
