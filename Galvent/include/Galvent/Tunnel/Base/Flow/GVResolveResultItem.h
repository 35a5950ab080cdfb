#pragma once
// The score of one entrance-exit pair after a resolve.

#include <cstdint>
#include <string>

#include "Galvent/Models/GVEntranceExit.h"

struct GVResolveResultItem {
  GVEntrance entrance;
  GVExit exit;
  int64_t score = 0;
  int64_t flowLevel = 0;
  int64_t port = 0;  // UDP port of the chosen entrance socket; set on the best result only
  int64_t ADelay = 0, ALost = 0, AScore = 0;
  int64_t BDelay = 0, BLost = 0, BScore = 0;

  // "ip|addr|level A: D.., L.., S.., B: D.., L.., S.., Score: .."
  std::string description() const;
};
