// Filter-mode acceleration as the app runs it, for the failover test and benchmark: the
// acceleration controller has zandrel load the scene's tamseld, fetches the rule list (both
// entrances) from the older-service stand-in, probes, pushes the rules and answers the filter's
// path requests. Made and used on a thread inside cli, before any client thread exists, so that
// every thread of the client lives there with tamseld.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Scene.h"

namespace failover {

class FilterAcceleration {
 public:
  explicit FilterAcceleration(const tsl::Scene& scene);
  ~FilterAcceleration();
  FilterAcceleration(const FilterAcceleration&) = delete;
  FilterAcceleration& operator=(const FilterAcceleration&) = delete;

  // Runs one start on the pumped main queue: its events ("completed", "error:N", "alert:TEXT").
  std::vector<std::string> start();
  void stop();
  int64_t status() const;
  // Path requests the filter sent (each answered by the controller).
  size_t pathRequests() const;
  bool consoleContains(const std::string& text) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace failover
