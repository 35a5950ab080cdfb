#pragma once
// What a flow group tells its owner (the packet proxy).

#include <cstdint>
#include <vector>

#include "Galvent/Tunnel/Base/Flow/GVResolveResultItem.h"

class GVFlowGroup;

class GVFlowGroupDelegate {
 public:
  virtual ~GVFlowGroupDelegate() = default;
  // One incoming IP packet (a type-401 body), on the packet loop.
  virtual void flowPacket(std::vector<uint8_t> packet, GVFlowGroup& fromFlowGroup) = 0;
  // The best result of a resolve, on the main queue.
  virtual void finishResolving(const GVResolveResultItem& result, GVFlowGroup& fromFlowGroup) = 0;
  // A resolve without any result, on the main queue.
  virtual void flowGroupFaildResolving(GVFlowGroup& group) = 0;
  // All results of a resolve, best first, on the main queue (after either of the two above).
  virtual void finishResolvingWithAllResults(const std::vector<GVResolveResultItem>& results,
                                             GVFlowGroup& fromFlowGroup) = 0;
};
