#pragma once
// Tunnel frame codec: an 8-byte header (total length, type; both u32 little-endian) and a body.

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class Q5Protocol {
 public:
  using Bytes = std::vector<uint8_t>;

  static constexpr size_t kHeaderSize = 8;
  static constexpr size_t kIPPacketHeaderSize = 33;
  static constexpr size_t kNatFieldSize = 20;

  enum Type : uint32_t {
    kPortProbe = 100,
    kPortProbeAnswer = 101,
    kDetect = 300,
    kDetectAnswer = 301,
    kIPPacket = 400,
    kIPPacketAnswer = 401,
    kEcho = 500,
    kEchoAnswer = 501,
  };

  Q5Protocol() = delete;

  // "A-B" gives (A << 16) | B. Anything that is not two parts of 0..65535 gives 0 (logged).
  static uint32_t exitFromString(std::string_view exitText);

  static Bytes wrapWithType(uint32_t type, std::span<const uint8_t> payload);
  static Bytes heartBeatPacketWithMessage(std::string_view text);

  // Type-400 frame; nothing when the NAT text is empty. Note the header stores rx before tx.
  static std::optional<Bytes> IPPacketWithExit(std::string_view exitText, uint16_t tx, uint16_t rx,
                                               uint32_t flowId, uint8_t flowLevel,
                                               std::string_view natIPv4,
                                               std::span<const uint8_t> ipPacket);

  // The 41 bytes in front of the IP packet of a type-400 frame, built once per path (exit text
  // parsed once); the length field is filled per packet by encodeIPPacket or
  // setIPPacketLength. Nothing when the NAT text is empty.
  using IPPacketHeader = std::array<uint8_t, kHeaderSize + kIPPacketHeaderSize>;
  static std::optional<IPPacketHeader> IPPacketHeaderWithExit(std::string_view exitText,
                                                              uint16_t tx, uint16_t rx,
                                                              uint32_t flowId, uint8_t flowLevel,
                                                              std::string_view natIPv4);
  // Sets the frame length for an IP packet of packetSize bytes.
  static void setIPPacketLength(IPPacketHeader& header, size_t packetSize) {
    storeLength(header.data(), header.size() + packetSize);
  }
  // Writes the frame into out without allocating; its size, or 0 when out is too small.
  static size_t encodeIPPacket(std::span<uint8_t> out, const IPPacketHeader& header,
                               std::span<const uint8_t> ipPacket) {
    size_t size = header.size() + ipPacket.size();
    if (out.size() < size) return 0;
    std::memcpy(out.data(), header.data(), header.size());
    storeLength(out.data(), size);
    if (!ipPacket.empty())
      std::memcpy(out.data() + header.size(), ipPacket.data(), ipPacket.size());
    return size;
  }

  // Type-300 frame with the compact JSON body of a path probe.
  static Bytes detectPacketWithExit(std::string_view exitText, int64_t flowId, int64_t flowLevel,
                                    std::string_view natIPv4, std::string_view targetIP,
                                    std::string_view flag);

  // Datagrams under 8 bytes carry no frame: both give nothing. The length field is not checked.
  static std::optional<uint32_t> lookupTypeWithPacket(std::span<const uint8_t> packet);
  static std::optional<std::span<const uint8_t>> unwrapDataWithPacket(
      std::span<const uint8_t> packet);

  // Little-endian field access shared by the relay and tests.
  static void storeU32(uint8_t* at, uint32_t v);
  static void storeU16(uint8_t* at, uint16_t v);
  static uint32_t loadU32(const uint8_t* at);
  static uint16_t loadU16(const uint8_t* at);

 private:
  static void storeLength(uint8_t* at, size_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
  }
};
