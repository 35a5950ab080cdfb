#include "packet.h"

namespace tamsel {

bool ip_parse(uint8_t* p, size_t n, ip_view* out) {
  if (n < 20 || (p[0] >> 4) != 4) return false;
  size_t hl = static_cast<size_t>(p[0] & 0x0f) * 4;
  size_t total = rd16(p + 2);
  if (hl < 20 || hl > n || total < hl || total > n) return false;
  out->p = p;
  out->len = total;
  out->hl = hl;
  out->proto = p[9];
  uint16_t frag = rd16(p + 6);
  out->fragment = (frag & 0x3fff) != 0;  // MF set or an offset
  return true;
}

uint16_t inet_checksum(const uint8_t* p, size_t n, uint32_t sum) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += static_cast<uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

bool update_ip_cksum(uint8_t* p, size_t n) {
  ip_view v;
  if (!ip_parse(p, n, &v)) return false;
  wr16(p + 10, 0);
  wr16(p + 10, inet_checksum(p, v.hl));
  if (v.fragment) return true;  // the L4 header is not all here
  uint8_t* l4 = p + v.hl;
  size_t l4len = v.len - v.hl;
  uint32_t pseudo = rd16(p + 12) + rd16(p + 14) + rd16(p + 16) + rd16(p + 18) + v.proto +
                    static_cast<uint32_t>(l4len);
  switch (v.proto) {
    case 1:
      if (l4len < 8) return true;
      wr16(l4 + 2, 0);
      wr16(l4 + 2, inet_checksum(l4, l4len));
      break;
    case 6:
      if (l4len < 20) return true;
      wr16(l4 + 16, 0);
      wr16(l4 + 16, inet_checksum(l4, l4len, pseudo));
      break;
    case 17: {
      if (l4len < 8) return true;
      wr16(l4 + 6, 0);
      uint16_t c = inet_checksum(l4, l4len, pseudo);
      wr16(l4 + 6, c == 0 ? 0xffff : c);
      break;
    }
    default:
      break;
  }
  return true;
}

}  // namespace tamsel
