#pragma once
// Time-outs and limits of the probes and of the library download. One process-wide set, the
// defaults below unless a test installs another.
#include <chrono>
#include <cstddef>

#include "gelmora/Service/Web/TsFileDownload.h"

struct Timing {
  std::chrono::milliseconds portProbe{1000};
  std::chrono::milliseconds pathProbe{3000};
  std::chrono::milliseconds pathWait{3500};
  std::chrono::milliseconds downloadIdle{8000};
  std::chrono::milliseconds downloadDeadline{60000};
  std::size_t downloadCap = 64u << 20;

  TsDownloadLimits downloadLimits() const { return {downloadIdle, downloadDeadline, downloadCap}; }

  static Timing current();
  static void set(const Timing& timing);
};
