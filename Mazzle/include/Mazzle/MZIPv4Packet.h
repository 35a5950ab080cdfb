#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

// One checked IPv4 packet, plus the builders, fragmenting and reassembly the tunnel, its
// stacks and the relay stand-in share. Addresses and ports in this interface are host order.
class MZIPv4Packet {
 public:
  // Null when the bytes are not a sound IPv4 packet: version 4, IHL >= 5, header and total
  // length within the data, offset plus length within 65535, and a whole TCP, UDP or ICMP
  // header in an unfragmented packet or first fragment. Bytes past the total length are cut.
  static std::shared_ptr<MZIPv4Packet> packetWithData(std::span<const uint8_t> data, bool outgoing);

  // One line for logs, e.g. "-> UDP 10.0.0.2:5000 > 1.1.1.1:53 len 60 id 7".
  std::string description() const;
  const std::vector<uint8_t>& rawData() const { return data_; }

  // Recomputes the IP checksum and, for an unfragmented packet, the TCP/UDP/ICMP checksum.
  void updateChecksum();

  // Gives a DNS query without additional records an OPT record carrying the client-subnet
  // option (family 1, the /24 of clientIP), fixing lengths and checksums. Anything else is
  // left as it is. True when the packet changed.
  bool upgradeToEDNSWithClientIP(uint32_t clientIP);

  bool outgoing() const { return outgoing_; }
  uint32_t source() const { return src_; }
  uint32_t destination() const { return dst_; }
  uint8_t protocol() const { return protocol_; }
  uint16_t sourcePort() const { return src_port_; }  // 0 without a TCP/UDP header
  uint16_t destinationPort() const { return dst_port_; }
  uint16_t identification() const { return id_; }
  bool isFragment() const { return fragment_; }
  std::span<const uint8_t> payload() const;  // the IP payload

  // True for a sound IPv4 packet that is a fragment (more-fragments flag or an offset).
  static bool fragmentPacket(std::span<const uint8_t> data);

  // Collects fragments until a datagram is whole. Key: source, destination, protocol, id.
  // A datagram may hold at most 65535 bytes, lives 30 s and at most 64 wait at once (the
  // oldest goes first); overlapping or oversized fragments drop their datagram.
  class Reassembler {
   public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    explicit Reassembler(Clock clock = {}, size_t maxPending = 64,
                         std::chrono::steady_clock::duration lifetime = std::chrono::seconds(30));
    // The whole packet once the last piece arrives; an unfragmented packet comes straight
    // back; nullopt while pieces are missing or when the fragment was bad.
    std::optional<std::vector<uint8_t>> add(std::span<const uint8_t> data);
    size_t pending() const;

   private:
    using Key = std::tuple<uint32_t, uint32_t, uint8_t, uint16_t>;
    struct Datagram {
      Key key;
      std::chrono::steady_clock::time_point expires;
      std::vector<uint8_t> header;                    // of the first fragment, once seen
      std::map<size_t, std::vector<uint8_t>> pieces;  // payload by offset
      size_t received = 0;
      std::optional<size_t> total;  // payload length, known from the last fragment
    };
    void expire(std::chrono::steady_clock::time_point now);
    void drop(std::map<Key, std::list<Datagram>::iterator>::iterator it);

    Clock clock_;
    size_t max_pending_;
    std::chrono::steady_clock::duration lifetime_;
    mutable std::mutex mutex_;
    std::list<Datagram> order_;  // oldest first
    std::map<Key, std::list<Datagram>::iterator> index_;
  };

  // Reassembly through one process-wide reassembler.
  static std::optional<std::vector<uint8_t>> reassemblePacket(std::span<const uint8_t> data);

  // Builders; checksums are filled in.
  static std::vector<uint8_t> buildIPv4(uint32_t src, uint32_t dst, uint8_t protocol,
                                        std::span<const uint8_t> payload, uint16_t id = 0,
                                        uint8_t ttl = 64);
  static std::vector<uint8_t> buildUDP(uint32_t src, uint16_t srcPort, uint32_t dst,
                                       uint16_t dstPort, std::span<const uint8_t> payload,
                                       uint16_t id = 0, uint8_t ttl = 64);
  // Splits a packet into fragments whose total length fits mtu (at least 68). A packet that
  // fits comes back alone; one that does not fit and has the don't-fragment flag, whose
  // transport header does not fit in the first piece, or that is not sound, gives nothing. Options
  // with the copy flag are repeated in later fragments.
  static std::vector<std::vector<uint8_t>> buildFragments(std::span<const uint8_t> packet,
                                                          size_t mtu);

 private:
  MZIPv4Packet() = default;
  void reparse();

  std::vector<uint8_t> data_;
  bool outgoing_ = false;
  uint32_t src_ = 0, dst_ = 0;
  uint8_t protocol_ = 0;
  uint16_t src_port_ = 0, dst_port_ = 0, id_ = 0;
  bool fragment_ = false;
  size_t header_length_ = 0;
};
