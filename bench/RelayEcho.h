// UDP echo through the entrance relay alone: the caller wraps its own datagrams in type-400
// frames, as the filter or the tunnel daemon does, and reads the type-401 answers. Measured beside
// the path through the daemon, it tells what the relay's own hops cost from what the daemon adds.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Galvent/Tunnel/Base/Q5Protocol.h"

namespace bench {

class RelayEcho {
 public:
  // `fd`: a UDP socket connected to the entrance (on the tunnel's machine, one that bypasses the
  // tunnel). The inner packets go from innerSrc, at the socket's own port, to dst:dstPort.
  RelayEcho(int fd, const std::string& innerSrc, const std::string& dst, uint16_t dstPort)
      : fd_(fd), dstPort_(dstPort) {
    sockaddr_in mine{};
    socklen_t ml = sizeof mine;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &ml);
    srcPort_ = ntohs(mine.sin_port);
    ::inet_pton(AF_INET, innerSrc.c_str(), &src_);
    ::inet_pton(AF_INET, dst.c_str(), &dst_);
    header_ = Q5Protocol::IPPacketHeaderWithExit("1-1", 0, 0, 0, 1, "203.0.113.200");
  }

  // The type-400 frame of one datagram of `payload` bytes (empty without a header).
  std::vector<uint8_t> frame(size_t payload) {
    if (!header_) return {};
    std::vector<uint8_t> packet(28, 0);
    packet.resize(28 + payload, 'r');
    uint8_t* ip = packet.data();
    ip[0] = 0x45;
    store16(ip + 2, static_cast<uint16_t>(packet.size()));
    store16(ip + 4, ++id_);
    ip[8] = 64;
    ip[9] = IPPROTO_UDP;
    std::memcpy(ip + 12, &src_, 4);
    std::memcpy(ip + 16, &dst_, 4);
    store16(ip + 10, checksum(ip, 20));
    uint8_t* udp = ip + 20;
    store16(udp, srcPort_);
    store16(udp + 2, dstPort_);
    store16(udp + 4, static_cast<uint16_t>(8 + payload));  // checksum 0: none
    std::vector<uint8_t> out(header_->size() + packet.size());
    out.resize(Q5Protocol::encodeIPPacket(out, *header_, packet));
    return out;
  }

  // Sends one datagram of `payload` bytes; false when it could not be sent.
  bool send(size_t payload) {
    std::vector<uint8_t> f = frame(payload);
    return !f.empty() && ::send(fd_, f.data(), f.size(), 0) == static_cast<ssize_t>(f.size());
  }

  // Waits up to `ms` for one answer of the echo; false on time-out.
  bool receive(int ms) {
    uint8_t in[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      pollfd p{fd_, POLLIN, 0};
      if (left < 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return false;
      ssize_t n = ::recv(fd_, in, sizeof in, MSG_DONTWAIT);
      if (n <= 0) continue;
      std::span<const uint8_t> got(in, static_cast<size_t>(n));
      if (Q5Protocol::lookupTypeWithPacket(got) != Q5Protocol::kIPPacketAnswer) continue;
      auto body = Q5Protocol::unwrapDataWithPacket(got);
      // The answer comes from the server's address and port to ours.
      if (body && body->size() >= 28 && std::memcmp(body->data() + 12, &dst_, 4) == 0 &&
          load16(body->data() + 22) == srcPort_)
        return true;
    }
  }

 private:
  static void store16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v >> 8);
    at[1] = static_cast<uint8_t>(v);
  }
  static uint16_t load16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }
  static uint16_t checksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) sum += load16(p + i);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
  }

  int fd_;
  uint32_t src_ = 0, dst_ = 0;
  uint16_t srcPort_, dstPort_, id_ = 0;
  std::optional<Q5Protocol::IPPacketHeader> header_;
};

}  // namespace bench
