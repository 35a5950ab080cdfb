#include "Galvent/Tunnel/Base/Q5Protocol.h"

#include <cctype>
#include <cstring>
#include <nlohmann/json.hpp>

#include "Galvent/Logger/GVLogger.h"

namespace {
// Lenient decimal read: leading white space and a sign, stop at the first non-digit, no digits
// gives 0. Values beyond 16 bits are reported so the caller can refuse them.
std::optional<uint32_t> exitPart(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  if (i < s.size() && s[i] == '+') ++i;
  uint32_t value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(s[i] - '0');
    if (value > 0xFFFF) return std::nullopt;
  }
  return value;
}
}  // namespace

void Q5Protocol::storeU32(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
  at[2] = static_cast<uint8_t>(v >> 16);
  at[3] = static_cast<uint8_t>(v >> 24);
}

void Q5Protocol::storeU16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t Q5Protocol::loadU32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

uint16_t Q5Protocol::loadU16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t Q5Protocol::exitFromString(std::string_view exitText) {
  size_t dash = exitText.find('-');
  bool twoParts =
      dash != std::string_view::npos && exitText.find('-', dash + 1) == std::string_view::npos;
  if (twoParts) {
    auto a = exitPart(exitText.substr(0, dash));
    auto b = exitPart(exitText.substr(dash + 1));
    if (a && b) return (*a << 16) | *b;
  }
  GVLogError("invalidit Exit: " + std::string(exitText));
  return 0;
}

Q5Protocol::Bytes Q5Protocol::wrapWithType(uint32_t type, std::span<const uint8_t> payload) {
  Bytes frame(kHeaderSize + payload.size());
  storeU32(frame.data(), static_cast<uint32_t>(frame.size()));
  storeU32(frame.data() + 4, type);
  if (!payload.empty()) std::memcpy(frame.data() + kHeaderSize, payload.data(), payload.size());
  return frame;
}

Q5Protocol::Bytes Q5Protocol::heartBeatPacketWithMessage(std::string_view text) {
  return wrapWithType(kEcho, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

namespace {
// The 33 bytes after the frame header of a type-400 frame.
void fillIPPacketHeader(uint8_t* p, uint32_t exit, uint16_t tx, uint16_t rx, uint32_t flowId,
                        uint8_t flowLevel, std::string_view natIPv4) {
  Q5Protocol::storeU32(p, exit);
  Q5Protocol::storeU16(p + 4, rx);
  Q5Protocol::storeU16(p + 6, tx);
  Q5Protocol::storeU32(p + 8, flowId);
  p[12] = flowLevel;
  std::memcpy(p + 13, natIPv4.data(), std::min(natIPv4.size(), Q5Protocol::kNatFieldSize));
}
}  // namespace

std::optional<Q5Protocol::IPPacketHeader> Q5Protocol::IPPacketHeaderWithExit(
    std::string_view exitText, uint16_t tx, uint16_t rx, uint32_t flowId, uint8_t flowLevel,
    std::string_view natIPv4) {
  uint32_t exit = exitFromString(exitText);
  if (natIPv4.empty()) {
    GVLogInfo("nat ipv4 can't be nil");
    return std::nullopt;
  }
  IPPacketHeader header{};
  storeU32(header.data() + 4, kIPPacket);
  fillIPPacketHeader(header.data() + kHeaderSize, exit, tx, rx, flowId, flowLevel, natIPv4);
  setIPPacketLength(header, 0);
  return header;
}

std::optional<Q5Protocol::Bytes> Q5Protocol::IPPacketWithExit(std::string_view exitText,
                                                              uint16_t tx, uint16_t rx,
                                                              uint32_t flowId, uint8_t flowLevel,
                                                              std::string_view natIPv4,
                                                              std::span<const uint8_t> ipPacket) {
  uint32_t exit = exitFromString(exitText);
  if (natIPv4.empty()) {
    GVLogInfo("nat ipv4 can't be nil");
    return std::nullopt;
  }
  // Built in place: header, packet header, then the IP packet, in one allocation.
  Bytes frame(kHeaderSize + kIPPacketHeaderSize + ipPacket.size(), 0);
  uint8_t* p = frame.data();
  storeU32(p, static_cast<uint32_t>(frame.size()));
  storeU32(p + 4, kIPPacket);
  fillIPPacketHeader(p + kHeaderSize, exit, tx, rx, flowId, flowLevel, natIPv4);
  if (!ipPacket.empty())
    std::memcpy(p + kHeaderSize + kIPPacketHeaderSize, ipPacket.data(), ipPacket.size());
  return frame;
}

Q5Protocol::Bytes Q5Protocol::detectPacketWithExit(std::string_view exitText, int64_t flowId,
                                                   int64_t flowLevel, std::string_view natIPv4,
                                                   std::string_view targetIP,
                                                   std::string_view flag) {
  nlohmann::json params = {
      {"flow_id", flowId},
      {"flow_level", flowLevel},
      {"exit", exitFromString(exitText)},
      {"nat_ip", std::string(natIPv4)},
      {"target_ip", std::string(targetIP)},
      {"flag", std::string(flag)},
  };
  // Texts from outside may not be valid UTF-8; replace rather than throw.
  std::string body = params.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  GVLogInfo("reqParams = " + body);
  return wrapWithType(kDetect, {reinterpret_cast<const uint8_t*>(body.data()), body.size()});
}

std::optional<uint32_t> Q5Protocol::lookupTypeWithPacket(std::span<const uint8_t> packet) {
  if (packet.size() < kHeaderSize) return std::nullopt;
  return loadU32(packet.data() + 4);
}

std::optional<std::span<const uint8_t>> Q5Protocol::unwrapDataWithPacket(
    std::span<const uint8_t> packet) {
  if (packet.size() < kHeaderSize) return std::nullopt;
  return packet.subspan(kHeaderSize);
}
