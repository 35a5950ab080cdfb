#pragma once
// Tunnel frame codec: an 8-byte header (total length, type; both u32 little-endian) and a body.

#include <cstdint>
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
};
