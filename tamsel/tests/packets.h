// Packet builders and a checksum verifier for the filter's tests, written apart from the filter's
// own packet code so that one can check the other.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tamsel::testing {

using Bytes = std::vector<uint8_t>;

inline uint32_t addr(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

inline void put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v & 0xff);
}
inline uint16_t get16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

// One's-complement sum folded to 16 bits (not inverted).
inline uint32_t ones_sum(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i < n; ++i) sum += (i % 2 == 0) ? (p[i] << 8) : p[i];
  while (sum > 0xffff) sum = (sum >> 16) + (sum & 0xffff);
  return sum;
}

inline uint32_t pseudo_sum(const Bytes& ip, size_t l4len) {
  uint32_t s = 0;
  for (size_t i = 12; i < 20; i += 2) s += get16(ip, i);
  return s + ip[9] + static_cast<uint32_t>(l4len);
}

// True when the IP header checksum and the ICMP, TCP or UDP checksum all verify.
inline bool checksums_valid(const Bytes& p) {
  if (p.size() < 20) return false;
  size_t hl = (p[0] & 0x0f) * 4u;
  size_t total = get16(p, 2);
  if (total > p.size() || hl > total) return false;
  if (ones_sum(p.data(), hl) != 0xffff) return false;
  const uint8_t* l4 = p.data() + hl;
  size_t n = total - hl;
  switch (p[9]) {
    case 1:
      return ones_sum(l4, n) == 0xffff;
    case 6:
      return ones_sum(l4, n, pseudo_sum(p, n)) == 0xffff;
    case 17:
      return get16(p, hl + 6) != 0 && ones_sum(l4, n, pseudo_sum(p, n)) == 0xffff;
    default:
      return true;
  }
}

inline Bytes ipv4(uint32_t src, uint32_t dst, uint8_t proto, const Bytes& l4, uint16_t id = 7) {
  Bytes b(20);
  b[0] = 0x45;
  put16(b, 2, static_cast<uint16_t>(20 + l4.size()));
  put16(b, 4, id);
  b[8] = 64;
  b[9] = proto;
  std::memcpy(&b[12], &src, 4);
  std::memcpy(&b[16], &dst, 4);
  put16(b, 10, static_cast<uint16_t>(~ones_sum(b.data(), 20)));
  b.insert(b.end(), l4.begin(), l4.end());
  return b;
}

// Fills in the transport checksum of a built packet.
inline Bytes with_l4_checksum(Bytes p) {
  size_t hl = (p[0] & 0x0f) * 4u;
  size_t n = p.size() - hl;
  size_t at = p[9] == 6 ? hl + 16 : p[9] == 17 ? hl + 6 : hl + 2;
  put16(p, at, 0);
  uint32_t s =
      p[9] == 1 ? ones_sum(p.data() + hl, n) : ones_sum(p.data() + hl, n, pseudo_sum(p, n));
  uint16_t c = static_cast<uint16_t>(~s);
  if (p[9] == 17 && c == 0) c = 0xffff;
  put16(p, at, c);
  return p;
}

inline Bytes udp(const char* src, uint16_t sport, const char* dst, uint16_t dport,
                 const Bytes& payload) {
  Bytes u(8);
  put16(u, 0, sport);
  put16(u, 2, dport);
  put16(u, 4, static_cast<uint16_t>(8 + payload.size()));
  u.insert(u.end(), payload.begin(), payload.end());
  return with_l4_checksum(ipv4(addr(src), addr(dst), 17, u));
}

enum : uint8_t { kSyn = 0x02, kAck = 0x10 };

inline Bytes tcp(const char* src, uint16_t sport, const char* dst, uint16_t dport, uint8_t flags,
                 const Bytes& options = {}, const Bytes& payload = {}) {
  Bytes opts = options;
  while (opts.size() % 4) opts.push_back(0);
  Bytes t(20 + opts.size() + payload.size(), 0);
  put16(t, 0, sport);
  put16(t, 2, dport);
  t[12] = static_cast<uint8_t>(((20 + opts.size()) / 4) << 4);
  t[13] = flags;
  put16(t, 14, 65535);
  for (size_t i = 0; i < opts.size(); ++i) t[20 + i] = opts[i];
  for (size_t i = 0; i < payload.size(); ++i) t[20 + opts.size() + i] = payload[i];
  return with_l4_checksum(ipv4(addr(src), addr(dst), 6, t));
}

inline Bytes mss_option(uint16_t mss) {
  return {2, 4, static_cast<uint8_t>(mss >> 8), static_cast<uint8_t>(mss & 0xff)};
}

inline Bytes icmp_echo(const char* src, const char* dst, uint8_t type, uint16_t id,
                       size_t data = 20) {
  Bytes m(8 + data, 0x5a);
  m[0] = type;
  m[1] = 0;
  put16(m, 2, 0);
  put16(m, 4, id);
  put16(m, 6, 1);
  return with_l4_checksum(ipv4(addr(src), addr(dst), 1, m));
}

inline void put_name(Bytes& b, const std::string& name) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    b.push_back(static_cast<uint8_t>(dot - start));
    b.insert(b.end(), name.begin() + static_cast<long>(start),
             name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  b.push_back(0);
}

inline Bytes dns_query(uint16_t id, const std::string& name, uint16_t qtype = 1) {
  Bytes b(12, 0);
  put16(b, 0, id);
  put16(b, 2, 0x0100);
  put16(b, 4, 1);
  put_name(b, name);
  b.insert(b.end(), {static_cast<uint8_t>(qtype >> 8), static_cast<uint8_t>(qtype & 0xff), 0, 1});
  return b;
}

struct Answer {
  uint16_t type;        // 1 A, 5 CNAME
  std::string value;    // dotted address, or the CNAME target
  bool pointer = true;  // name written as a pointer to the question
};

inline Bytes dns_answer(uint16_t id, const std::string& name, const std::vector<Answer>& answers,
                        uint8_t rcode = 0, bool tc = false) {
  Bytes b(12, 0);
  put16(b, 0, id);
  put16(b, 2, static_cast<uint16_t>(0x8180 | rcode | (tc ? 0x0200 : 0)));
  put16(b, 4, 1);
  put16(b, 6, static_cast<uint16_t>(answers.size()));
  put_name(b, name);
  b.insert(b.end(), {0, 1, 0, 1});
  for (auto& a : answers) {
    if (a.pointer)
      b.insert(b.end(), {0xc0, 12});
    else
      put_name(b, name);
    b.insert(b.end(), {0, static_cast<uint8_t>(a.type), 0, 1, 0, 0, 0, 60});
    Bytes data;
    if (a.type == 1) {
      uint32_t ip = addr(a.value.c_str());
      data.assign(reinterpret_cast<uint8_t*>(&ip), reinterpret_cast<uint8_t*>(&ip) + 4);
    } else {
      put_name(data, a.value);
    }
    b.push_back(static_cast<uint8_t>(data.size() >> 8));
    b.push_back(static_cast<uint8_t>(data.size() & 0xff));
    b.insert(b.end(), data.begin(), data.end());
  }
  return b;
}

inline Bytes frame401(const Bytes& inner) {
  Bytes f(8);
  uint32_t len = static_cast<uint32_t>(8 + inner.size()), type = 401;
  std::memcpy(&f[0], &len, 4);
  std::memcpy(&f[4], &type, 4);
  f.insert(f.end(), inner.begin(), inner.end());
  return f;
}

inline sockaddr_in sin(const char* dotted, uint16_t port) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_addr.s_addr = addr(dotted);
  s.sin_port = htons(port);
  return s;
}

}  // namespace tamsel::testing
