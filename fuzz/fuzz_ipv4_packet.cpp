// IPv4 packets: parse, description, checksums, EDNS upgrade, and fragment sequences: the
// input's own fragments into a reassembler, and a sound packet split and put back together.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Brevant/Packet.h"
#include "Mazzle/MZIPv4Packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  MZIPv4Packet::fragmentPacket(in);
  if (auto p = MZIPv4Packet::packetWithData(in, size & 1)) {
    (void)p->description();
    p->updateChecksum();
    if (!brevant::verify_checksums(p->rawData())) __builtin_trap();
    if (p->upgradeToEDNSWithClientIP(0xCB00714D) && !brevant::verify_checksums(p->rawData()))
      __builtin_trap();
    if (!p->isFragment()) {
      std::vector<uint8_t> sound = p->rawData();
      sound[6] &= 0x80;  // clear DF so it can be split
      brevant::update_checksums(sound);
      auto pieces = MZIPv4Packet::buildFragments(sound, 68 + (size % 200));
      MZIPv4Packet::Reassembler r;
      std::optional<std::vector<uint8_t>> whole;
      for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) whole = r.add(*it);
      if (!pieces.empty() && (!whole || whole->size() != sound.size())) __builtin_trap();
    }
  }
  // The input as a run of length-prefixed fragments.
  MZIPv4Packet::Reassembler r;
  size_t pos = 0;
  while (pos + 2 <= size) {
    size_t len = (size_t{data[pos]} << 8 | data[pos + 1]) % 1600;
    pos += 2;
    if (len > size - pos) len = size - pos;
    if (auto whole = r.add(in.subspan(pos, len))) {
      if (!brevant::parse_ipv4(*whole)) __builtin_trap();
    }
    pos += len;
  }
  return 0;
}
