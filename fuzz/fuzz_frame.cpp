// Received datagrams of any length and content: parse, then rebuild from the parsed parts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "Galvent/Tunnel/Base/Q5Protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> packet(data, size);
  auto type = Q5Protocol::lookupTypeWithPacket(packet);
  auto body = Q5Protocol::unwrapDataWithPacket(packet);
  if (type.has_value() != body.has_value()) std::abort();
  if (!type) return 0;
  if (body->size() != size - Q5Protocol::kHeaderSize) std::abort();
  auto again = Q5Protocol::wrapWithType(*type, *body);
  if (again.size() != size || Q5Protocol::lookupTypeWithPacket(again) != type) std::abort();
  if (*type == Q5Protocol::kIPPacket && body->size() >= Q5Protocol::kIPPacketHeaderSize) {
    // A peer's type-400 header: read every field back through the builder.
    const uint8_t* h = body->data();
    std::string nat(reinterpret_cast<const char*>(h + 13), Q5Protocol::kNatFieldSize);
    nat.resize(nat.find('\0') == std::string::npos ? nat.size() : nat.find('\0'));
    auto frame = Q5Protocol::IPPacketWithExit(
        "1-2", Q5Protocol::loadU16(h + 6), Q5Protocol::loadU16(h + 4), Q5Protocol::loadU32(h + 8),
        h[12], nat, body->subspan(Q5Protocol::kIPPacketHeaderSize));
    if (frame && frame->size() != size) std::abort();
  }
  return 0;
}
