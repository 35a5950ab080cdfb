#pragma once
// The paths of one rule list: every entrance paired with every exit. Measuring probes each
// distinct path once, on a thread of its own (type-300 frame, type-301 answer), copies the results
// to every equal path, sorts the list and reports it to the service from a background thread.
// After measuring the object is only read: the rule store publishes it as a shared snapshot and
// the filter's control reader asks it for the best path of a flow group.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "gelmora/Service/Speed/TsPathObject.h"

class TsPathService {
 public:
  static constexpr const char* kReportPath = "/q5client/path/batch-report";
  // Longest body of a type-300 request; a longer one (a huge NAT text) fails its path unsent.
  static constexpr std::size_t kMaxProbeBody = 1024;

  struct ProbeResult {
    std::int32_t delay = TsPathObject::kFailedDelay;
    double lost = TsPathObject::kFailedLost;
    bool operator==(const ProbeResult&) const = default;
  };

  // Who measures one path (given the type-300 frame it would send) and where the report goes.
  // Process-wide; empty members restore the UDP probe and the older layer's POST_JSON. Tests and
  // the rule-list fuzz target use them to run without sending a datagram.
  using Prober =
      std::function<ProbeResult(const TsPathObject& path, const std::vector<std::uint8_t>& frame)>;
  using ReportSender = std::function<void(const std::string& path, const std::string& body)>;
  struct Hooks {
    Prober probe;
    ReportSender report;
  };
  static void setHooks(Hooks hooks);

  TsPathService() = default;
  // Waits for the report thread, if one was started.
  ~TsPathService();
  TsPathService(const TsPathService&) = delete;
  TsPathService& operator=(const TsPathService&) = delete;

  // Appends the path (entrance, exit) with delay 0 and loss 0.
  void addPath(const EntranceServer& entrance, const ExitServer& exit);
  // Probes every distinct path in parallel, waits until all are done or the path-wait deadline
  // (Timing::pathWait) passed, copies the results to every path, sorts the list and starts the
  // report. A probe not finished by the deadline is stopped and counts as failed. Always true.
  bool VelocityMeasurement();

  const std::vector<TsPathObject>& pathArray() const { return pathArray_; }
  void setPathArray(std::vector<TsPathObject> paths) { pathArray_ = std::move(paths); }

  // The path of the flow group `offset` with the smallest delay (the earlier one on a tie);
  // none when no exit belongs to that group. Safe from any thread once measuring is over.
  std::optional<TsPathObject> getPathWithOffset(std::int32_t offset) const;

  // Waits for the report thread to finish (tests).
  void waitForReport();

  // The pieces of measuring, public for tests and the fuzz target.
  // Type-300 frame: compact JSON {"exit", "flag":"B", "flow_id", "flow_level":1, "nat_ip",
  // "target_ip":"127.0.0.1"}.
  static std::vector<std::uint8_t> probeFrame(const TsPathObject& path, std::int64_t flowId);
  // Reads one datagram as a type-301 answer; failure values for anything else.
  static ProbeResult readProbeAnswer(std::span<const std::uint8_t> datagram);
  // The UDP probe of one path through its entrance (blocks up to Timing::pathProbe).
  static ProbeResult threadVelocityMeasurement(const TsPathObject& path,
                                               const std::vector<std::uint8_t>& frame);
  // Ascending by entrance delay + path delay; equal keys keep the exchange sort's order.
  static void sortPaths(std::vector<TsPathObject>& paths);
  // The pretty-printed report array, every value a text.
  static std::string reportBody(const std::vector<TsPathObject>& paths, std::int32_t uid,
                                const std::string& mac, const std::string& flowId);
  // Sends the report of `paths` from a background thread that owns its own copy.
  void reportPathOfResult(const std::vector<TsPathObject>& paths);

 private:
  std::vector<TsPathObject> pathArray_;
  std::thread reportThread_;
  // Turned on when the service goes away: a report still on the wire is dropped, not awaited.
  std::shared_ptr<std::atomic<bool>> reportCancel_ = std::make_shared<std::atomic<bool>>(false);
};

using TsPathServiceSnapshot = std::shared_ptr<const TsPathService>;
