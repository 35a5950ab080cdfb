#pragma once
// Packets, start information and a recording delegate for the packet-proxy tests.

#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "Brevant/Packet.h"
#include "FlowTestSupport.h"
#include "Galvent/Tunnel/Base/GVPacketProxy.h"
#include "PacketBuilder.h"

namespace flowtest {

struct RecordingProxyDelegate : GVPacketProxyDelegate {
  std::mutex mutex;
  std::vector<Bytes> packets;
  void incomingIPPacket(std::vector<uint8_t> packet, GVPacketProxy&) override {
    std::lock_guard lock(mutex);
    packets.push_back(std::move(packet));
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return packets.size();
  }
  Bytes at(size_t i) {
    std::lock_guard lock(mutex);
    return packets.at(i);
  }
};

inline const uint32_t kClient = testpkt::ip("10.7.0.2");

inline Bytes udpTo(const char* dst, uint16_t port, size_t size = 16, uint16_t sport = 40000) {
  return testpkt::udp(kClient, sport, testpkt::ip(dst), port, Bytes(size, 0x5a));
}

inline Bytes dnsQuery(const char* name, const char* server = "198.51.100.53",
                      uint16_t id = 0x1234) {
  return testpkt::udp(kClient, 53000, testpkt::ip(server), 53, testpkt::dns_query(id, name));
}

inline nlohmann::json entranceJSON(const GVEntrance& e) {
  return {{"ip", e.ip}, {"ports", e.ports}};
}

}  // namespace flowtest
