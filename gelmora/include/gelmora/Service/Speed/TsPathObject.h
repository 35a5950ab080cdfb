#pragma once
// One path: an entrance relay and the exit it reaches, with the delay and loss that the path
// probe measured between them.
#include <cstdint>

#include "gelmora/Service/Speed/EntranceServer.h"
#include "gelmora/Service/Speed/ExitServer.h"

class TsPathObject {
 public:
  static constexpr std::int32_t kFailedDelay = 3000;
  static constexpr double kFailedLost = 100;

  TsPathObject() = default;
  // Delay and loss start at 0 until the path is measured.
  TsPathObject(EntranceServer entrance, ExitServer exit)
      : entrance_(std::move(entrance)), exit_(std::move(exit)) {}

  const EntranceServer& entrance() const { return entrance_; }
  void setEntrance(EntranceServer v) { entrance_ = std::move(v); }
  const ExitServer& exit() const { return exit_; }
  void setExit(ExitServer v) { exit_ = std::move(v); }
  // Path delay in ms: at least 1 once measured, 3000 when the probe failed.
  std::int32_t delay() const { return delay_; }
  void setDelay(std::int32_t v) { delay_ = v; }
  // Loss in percent, 0..100.
  double lost() const { return lost_; }
  void setLost(double v) { lost_ = v; }

  // Same entrance address and port, same exit addr and nat.
  bool isEqualToPath(const TsPathObject& other) const {
    return entrance_.IsEqualToEntrance(other.entrance_) && exit_.isEqualToExit(other.exit_);
  }

 private:
  EntranceServer entrance_;
  ExitServer exit_;
  std::int32_t delay_ = 0;
  double lost_ = 0;
};
