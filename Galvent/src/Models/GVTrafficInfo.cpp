#include "Galvent/Models/GVTrafficInfo.h"

#include <cmath>

GVTrafficInfo GVTrafficInfo::make(double elapsedSeconds, uint64_t rx, uint64_t tx, uint64_t sent,
                                  uint64_t received, int32_t delayMs,
                                  std::vector<GVTrafficRecord> records) {
  GVTrafficInfo info;
  double whole = std::floor(std::fabs(elapsedSeconds));
  info.duration = std::isfinite(whole) && whole < 1.8e19 ? static_cast<uint64_t>(whole) : 0;
  info.rxBytes = rx;
  info.txBytes = tx;
  info.heartbeatSent = sent;
  info.heartbeatRecived = received;
  info.heartbeatDelay = static_cast<uint64_t>(static_cast<int64_t>(delayMs));
  info.trafficRecords = std::move(records);
  return info;
}
