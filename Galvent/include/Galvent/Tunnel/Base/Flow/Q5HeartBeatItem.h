#pragma once
// One echo probe of a resolve: sent to one entrance, answered (or not) by a type-501 frame.

#include <cstdint>
#include <string>

struct Q5HeartBeatItem {
  int64_t packetId = 0;  // probe round
  std::string host;      // entrance ip
  double sendTimestamp = 0;
  double reciveTimestamp = 0;  // 0 until answered

  // Round trip in milliseconds, truncated; negative when unanswered.
  int64_t delayMs() const;
  // "Host:%@, %ld, %f, %f, %ld"
  std::string description() const;
};
