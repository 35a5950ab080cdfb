#pragma once
// The daemon's logger: engine lines into an spdlog logger (standard error, or a file).

#include <memory>
#include <string>

#include "Galvent/Logger/GVLogger.h"

namespace spdlog {
class logger;
}

class GVSpdLogger : public GVLogger {
 public:
  explicit GVSpdLogger(std::shared_ptr<spdlog::logger> logger);
  // Lines to standard error, or appended to `path` when it is not empty.
  static std::shared_ptr<GVSpdLogger> make(const std::string& name, const std::string& path = {});

  void logInfo(const std::string& text) override;
  void logWarn(const std::string& text) override;
  void logError(const std::string& text) override;

 private:
  std::shared_ptr<spdlog::logger> logger_;
};
