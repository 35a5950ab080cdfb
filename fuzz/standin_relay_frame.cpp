// What the relay stand-in reads from clients and from its TUN device: type-400 packet headers
// with their NAT texts, the JSON line of such a record, and the address rewrite of TUN mode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "Mazzle/MZIPv4Packet.h"
#include "PacketNat.h"
#include "standin/relay/Relay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> input(data, size);
  if (auto header = standin::relay::ipPacketHeaderOf(input)) {
    if (header->nat.size() > 20) std::abort();
    standin::relay::Record r;
    r.incoming = true;
    r.type = 400;
    r.body.assign(input.begin(), input.end());
    r.header = header;
    if (standin::relay::recordJSON(r).empty()) std::abort();
  }

  // A sound packet stays sound, with the new address, after either rewrite.
  bool sound = MZIPv4Packet::packetWithData(input, false) != nullptr;
  for (bool source : {true, false}) {
    std::vector<uint8_t> packet(input.begin(), input.end());
    bool changed = standin::relay::rewriteAddress(packet, source, 0xC0000202);
    if (!changed && packet != std::vector<uint8_t>(input.begin(), input.end())) std::abort();
    if (sound) {
      auto after = MZIPv4Packet::packetWithData(packet, false);
      if (!changed || !after) std::abort();
      if ((source ? after->source() : after->destination()) != 0xC0000202) std::abort();
    }
  }
  return 0;
}
