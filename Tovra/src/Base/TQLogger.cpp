#include "Tovra/Base/TQLogger.h"

#include <syslog.h>

#include <mutex>

namespace {
std::mutex gSlotMutex;
std::shared_ptr<TQLoggerProtocol> gSlot;

void writeSyslog(int priority, const std::string& text) {
  // One line per call: embedded newlines would split the entry in the journal.
  std::string line = text;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  syslog(priority, "%s", line.c_str());
}
}  // namespace

void TQLogger::logInfo(const std::string& text) { writeSyslog(LOG_INFO, text); }
void TQLogger::logWarn(const std::string& text) { writeSyslog(LOG_WARNING, text); }
void TQLogger::logError(const std::string& text) { writeSyslog(LOG_ERR, text); }

void TQLogger::setLogger(std::shared_ptr<TQLoggerProtocol> logger) {
  std::lock_guard<std::mutex> lock(gSlotMutex);
  gSlot = std::move(logger);
}

std::shared_ptr<TQLoggerProtocol> TQLogger::logger() {
  std::lock_guard<std::mutex> lock(gSlotMutex);
  return gSlot;
}

namespace tq {
void logInfo(const std::string& text) {
  if (auto l = TQLogger::logger()) l->logInfo(text);
}
void logWarn(const std::string& text) {
  if (auto l = TQLogger::logger()) l->logWarn(text);
}
void logError(const std::string& text) {
  if (auto l = TQLogger::logger()) l->logError(text);
}
}  // namespace tq
