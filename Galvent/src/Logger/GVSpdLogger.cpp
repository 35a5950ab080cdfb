#include "Galvent/Logger/GVSpdLogger.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

GVSpdLogger::GVSpdLogger(std::shared_ptr<spdlog::logger> logger) : logger_(std::move(logger)) {}

std::shared_ptr<GVSpdLogger> GVSpdLogger::make(const std::string& name, const std::string& path) {
  std::shared_ptr<spdlog::logger> logger;
  try {
    if (path.empty()) {
      logger =
          std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::stderr_sink_mt>());
    } else {
      logger = std::make_shared<spdlog::logger>(
          name, std::make_shared<spdlog::sinks::basic_file_sink_mt>(path));
    }
  } catch (const spdlog::spdlog_ex&) {
    // An unwritable file must not stop the daemon: fall back to standard error.
    logger =
        std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::stderr_sink_mt>());
  }
  logger->flush_on(spdlog::level::warn);
  return std::make_shared<GVSpdLogger>(std::move(logger));
}

// Texts go out as they are: a "%" or "{}" in a line is never read as a format.
void GVSpdLogger::logInfo(const std::string& text) { logger_->info("{}", text); }
void GVSpdLogger::logWarn(const std::string& text) { logger_->warn("{}", text); }
void GVSpdLogger::logError(const std::string& text) { logger_->error("{}", text); }
