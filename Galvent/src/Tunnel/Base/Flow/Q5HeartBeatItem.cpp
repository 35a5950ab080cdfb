#include "Galvent/Tunnel/Base/Flow/Q5HeartBeatItem.h"

#include <cmath>
#include <cstdio>

int64_t Q5HeartBeatItem::delayMs() const {
  // Stamps are seconds since an arbitrary origin; the nudge keeps a difference of exactly 37 ms
  // from reading as 36.999999.
  double ms = (reciveTimestamp - sendTimestamp) * 1000.0 + 1e-6;
  if (!std::isfinite(ms)) return -1;
  if (ms > 9.0e15) return INT64_MAX / 2;
  if (ms < -9.0e15) return -1;
  return static_cast<int64_t>(ms);
}

std::string Q5HeartBeatItem::description() const {
  char buf[128];
  std::snprintf(buf, sizeof buf, ", %lld, %f, %f, %lld", static_cast<long long>(packetId),
                sendTimestamp, reciveTimestamp, static_cast<long long>(delayMs()));
  return "Host:" + host + buf;
}
