// Type-401 bodies of any content through the proxy's incoming path: only sound IPv4 packets
// with correct checksums reach the delegate.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "Brevant/Packet.h"
#include "Galvent/Tunnel/Ombrix/OmbrixPacketProxy.h"
#include "Mazzle/MZQueueFactory.h"

namespace {

struct CheckingDelegate : GVPacketProxyDelegate {
  void incomingIPPacket(std::vector<uint8_t> packet, GVPacketProxy&) override {
    if (!brevant::parse_ipv4(packet) || !brevant::verify_checksums(packet)) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto delegate = std::make_shared<CheckingDelegate>();
  static std::shared_ptr<OmbrixPacketProxy> proxy = [] {
    GVTsSession session;
    session.speedInfo = JVX_SPEED_START_INFO{};
    auto p = OmbrixPacketProxy::initWithSession(session);
    p->setDelegate(delegate);
    return p;
  }();
  proxy->processIncomingIPPacket(std::span<const uint8_t>(data, size));
  MZQueueFactory::sync([] {});
  return 0;
}
