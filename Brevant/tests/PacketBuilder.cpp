#include "PacketBuilder.h"

#include <arpa/inet.h>

#include "Brevant/Packet.h"

namespace testpkt {

uint32_t ip(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return ntohl(a.s_addr);
}

Bytes ipv4(uint32_t src, uint32_t dst, uint8_t proto, const Bytes& payload, uint16_t id,
           uint16_t flags_offset) {
  Bytes p(20 + payload.size(), 0);
  p[0] = 0x45;
  brevant::write_be16(p.data() + 2, static_cast<uint16_t>(p.size()));
  brevant::write_be16(p.data() + 4, id);
  brevant::write_be16(p.data() + 6, flags_offset);
  p[8] = 64;
  p[9] = proto;
  brevant::write_be32(p.data() + 12, src);
  brevant::write_be32(p.data() + 16, dst);
  std::copy(payload.begin(), payload.end(), p.begin() + 20);
  brevant::update_checksums(p);
  return p;
}

Bytes udp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport, const Bytes& payload) {
  Bytes u(8 + payload.size(), 0);
  brevant::write_be16(u.data(), sport);
  brevant::write_be16(u.data() + 2, dport);
  brevant::write_be16(u.data() + 4, static_cast<uint16_t>(u.size()));
  std::copy(payload.begin(), payload.end(), u.begin() + 8);
  return ipv4(src, dst, 17, u);
}

Bytes tcp(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport) {
  Bytes t(20, 0);
  brevant::write_be16(t.data(), sport);
  brevant::write_be16(t.data() + 2, dport);
  t[12] = 5 << 4;
  t[13] = 0x02;  // SYN
  brevant::write_be16(t.data() + 14, 65535);
  return ipv4(src, dst, 6, t);
}

Bytes icmp_echo(uint32_t src, uint32_t dst) {
  Bytes e = {8, 0, 0, 0, 0, 1, 0, 1};
  return ipv4(src, dst, 1, e);
}

Bytes dns_name(const std::string& dotted) {
  Bytes out;
  size_t start = 0;
  while (start < dotted.size()) {
    size_t dot = dotted.find('.', start);
    if (dot == std::string::npos) dot = dotted.size();
    out.push_back(static_cast<uint8_t>(dot - start));
    out.insert(out.end(), dotted.begin() + static_cast<long>(start),
               dotted.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

static void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

Bytes dns_query(uint16_t id, const std::string& name, uint16_t type) {
  Bytes m;
  put16(m, id);
  put16(m, 0x0100);  // RD
  put16(m, 1);
  put16(m, 0);
  put16(m, 0);
  put16(m, 0);
  Bytes n = dns_name(name);
  m.insert(m.end(), n.begin(), n.end());
  put16(m, type);
  put16(m, 1);
  return m;
}

Bytes dns_answer(uint16_t id, const std::string& name, const std::vector<std::string>& cnames,
                 const std::vector<uint32_t>& addresses) {
  Bytes m;
  put16(m, id);
  put16(m, 0x8180);
  put16(m, 1);
  put16(m, static_cast<uint16_t>(cnames.size() + addresses.size()));
  put16(m, 0);
  put16(m, 0);
  Bytes n = dns_name(name);
  m.insert(m.end(), n.begin(), n.end());
  put16(m, 1);
  put16(m, 1);
  // Owner names point back at where they were written, as servers compress them.
  uint16_t owner = 12;
  for (const std::string& c : cnames) {
    put16(m, static_cast<uint16_t>(0xC000 | owner));
    put16(m, 5);
    put16(m, 1);
    put16(m, 0);
    put16(m, 300);
    Bytes target = dns_name(c);
    put16(m, static_cast<uint16_t>(target.size()));
    owner = static_cast<uint16_t>(m.size());
    m.insert(m.end(), target.begin(), target.end());
  }
  for (uint32_t a : addresses) {
    put16(m, static_cast<uint16_t>(0xC000 | owner));
    put16(m, 1);
    put16(m, 1);
    put16(m, 0);
    put16(m, 60);
    put16(m, 4);
    put16(m, static_cast<uint16_t>(a >> 16));
    put16(m, static_cast<uint16_t>(a));
  }
  return m;
}

}  // namespace testpkt
