#pragma once
// Traffic figures the tunnel process answers to the application's query.

#include <cstdint>
#include <optional>
#include <vector>

#include "Galvent/Models/GVTrafficRecord.h"
#include "Tovra/Base/TQAPIModel.h"

struct GVTrafficInfo : TQAPIModel {
  std::optional<uint64_t> duration;
  std::optional<uint64_t> rxBytes;
  std::optional<uint64_t> txBytes;
  std::optional<uint64_t> heartbeatSent;
  std::optional<uint64_t> heartbeatRecived;
  std::optional<uint64_t> heartbeatDelay;
  std::optional<std::vector<GVTrafficRecord>> trafficRecords;

  bool operator==(const GVTrafficInfo&) const = default;
  static constexpr auto fields() {
    using I = GVTrafficInfo;
    return std::make_tuple(tq::field("duration", &I::duration), tq::field("rxBytes", &I::rxBytes),
                           tq::field("txBytes", &I::txBytes),
                           tq::field("heartbeatSent", &I::heartbeatSent),
                           tq::field("heartbeatRecived", &I::heartbeatRecived),
                           tq::field("heartbeatDelay", &I::heartbeatDelay),
                           tq::field("trafficRecords", &I::trafficRecords));
  }

  // Figures of one query. The records are a copy of the proxy's list: empty, never absent, when
  // recording is off. A negative heartbeat delay (none measured) is widened like the original.
  static GVTrafficInfo make(double elapsedSeconds, uint64_t rx, uint64_t tx, uint64_t sent,
                            uint64_t received, int32_t delayMs,
                            std::vector<GVTrafficRecord> records);
};
