// Upstream answers into the tunnel's DNS server after a few queries were recorded.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Mazzle/MZDNSServer.h"
#include "Mazzle/MZIPv4Packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto server = std::make_shared<MZDNSServer>("198.51.100.50");
  std::vector<uint8_t> query = {0x12, 0x34, 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 0, 0, 1, 0, 1};
  for (uint16_t port = 4000; port < 4003; ++port) {
    auto packet = MZIPv4Packet::buildUDP(0xC0000201, port, 0xC6120001, 53, query);
    server->prepareQuery(packet);
  }
  std::vector<uint8_t> answer(data, data + size);
  // Let most inputs hit a waiting query: ids 1..3 were handed out.
  if (answer.size() >= 2) answer[0] = 0, answer[1] = uint8_t(1 + answer[1] % 3);
  if (auto packet = server->processDNSRespData(answer)) {
    if (!MZIPv4Packet::packetWithData(*packet, false)) __builtin_trap();
  }
  // Whole inputs as a query packet from the tunnel too.
  server->prepareQuery(std::span(data, size));
  return 0;
}
