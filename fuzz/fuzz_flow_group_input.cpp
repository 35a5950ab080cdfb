// Datagrams of any length and type into a flow group in each of its statuses. The first byte
// picks the group; the rest is the datagram. Timers run on a virtual clock that never moves.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "Galvent/Tunnel/Base/Flow/GVFlowGroup.h"
#include "Galvent/Utils/GVQueueFactory.h"
#include "Mazzle/MZQueueFactory.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/PumpedQueue.h"

namespace {

struct CountingDelegate : GVFlowGroupDelegate {
  size_t packets = 0, results = 0;
  void flowPacket(std::vector<uint8_t>, GVFlowGroup&) override { ++packets; }
  void finishResolving(const GVResolveResultItem&, GVFlowGroup&) override { ++results; }
  void flowGroupFaildResolving(GVFlowGroup&) override { ++results; }
  void finishResolvingWithAllResults(const std::vector<GVResolveResultItem>&,
                                     GVFlowGroup&) override {}
};

struct Rig {
  std::shared_ptr<platform::dispatch::PumpedQueue> main =
      std::make_shared<platform::dispatch::PumpedQueue>();
  std::shared_ptr<CountingDelegate> delegate = std::make_shared<CountingDelegate>();
  std::vector<std::shared_ptr<GVFlowGroup>> groups;

  Rig() {
    platform::dispatch::installMainQueue(main);
    platform::dispatch::installDefaultClock(std::make_shared<platform::dispatch::VirtualClock>());
    // Port 9 on loopback: datagrams sent by the group go nowhere.
    std::vector<GVEntrance> entrances{{"127.0.0.1", {9}}};
    std::vector<GVExit> exits{{"1-1", "127.0.0.1"}};
    for (int status = 0; status < 4; ++status) {
      auto g = std::make_shared<GVFlowGroup>(entrances, exits, 1, 1, 0, 0, "fuzz");
      g->setDelegate(delegate);
      if (status >= 1) g->startResolving();   // 1: resolving
      if (status >= 2) g->finishResolving();  // 2: resolved with a pair (3)
      if (status >= 3) {
        uint8_t packet[20] = {0x45};
        g->inputPacket(packet);  // running (4)
      }
      groups.push_back(std::move(g));
    }
    auto failed = std::make_shared<GVFlowGroup>(std::vector<GVEntrance>{}, exits, 1, 1, 0, 0, "");
    failed->startResolving();
    failed->finishResolving();  // -1
    groups.push_back(std::move(failed));
    settle();
  }
  void settle() {
    MZQueueFactory::sync([] {});
    GVQueueFactory::getQueue()->sync([] {});
    main->pump();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = new Rig();
  if (size == 0) return 0;
  auto& group = rig->groups[data[0] % rig->groups.size()];
  group->processRespData(std::span<const uint8_t>(data + 1, size - 1));
  rig->settle();
  return 0;
}
