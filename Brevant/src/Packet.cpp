#include "Brevant/Packet.h"

namespace brevant {
namespace {

bool fail(std::string* error, const char* why) {
  if (error) *error = why;
  return false;
}

bool parse_transport(std::span<const uint8_t> p, Ipv4Info& info, std::string* error) {
  const uint8_t* t = p.data() + info.payload_offset;
  const size_t avail = info.payload_length;
  switch (info.protocol) {
    case 6: {
      if (avail < 20) return fail(error, "truncated TCP header");
      size_t hl = static_cast<size_t>(t[12] >> 4) * 4;
      if (hl < 20) return fail(error, "TCP data offset below 5");
      if (hl > avail) return fail(error, "TCP header past the end");
      info.transport_header_length = hl;
      info.src_port = read_be16(t);
      info.dst_port = read_be16(t + 2);
      break;
    }
    case 17: {
      if (avail < 8) return fail(error, "truncated UDP header");
      size_t ul = read_be16(t + 4);
      if (ul < 8) return fail(error, "UDP length below 8");
      // A first fragment holds only part of the datagram the UDP length describes.
      if (!info.more_fragments && ul > avail) return fail(error, "UDP length past the end");
      info.transport_header_length = 8;
      info.udp_length = ul;
      info.src_port = read_be16(t);
      info.dst_port = read_be16(t + 2);
      break;
    }
    case 1:
      if (avail < 8) return fail(error, "truncated ICMP header");
      info.transport_header_length = 8;
      break;
    default:
      return true;
  }
  info.has_transport = true;
  return true;
}

}  // namespace

std::optional<Ipv4Info> parse_ipv4(std::span<const uint8_t> p, std::string* error) {
  auto bad = [error](const char* why) {
    if (error) *error = why;
    return std::optional<Ipv4Info>{};
  };
  if (p.size() < 20) return bad("shorter than an IPv4 header");
  if ((p[0] >> 4) != 4) return bad("not IP version 4");
  Ipv4Info info;
  info.header_length = static_cast<size_t>(p[0] & 0x0F) * 4;
  if (info.header_length < 20) return bad("IHL below 5");
  info.total_length = read_be16(p.data() + 2);
  if (info.total_length < info.header_length) return bad("total length shorter than the header");
  if (info.total_length > p.size()) return bad("total length past the data");
  uint16_t frag = read_be16(p.data() + 6);
  if (frag & 0x8000) return bad("reserved flag set");
  info.dont_fragment = frag & 0x4000;
  info.more_fragments = frag & 0x2000;
  info.fragment_offset = static_cast<size_t>(frag & 0x1FFF) * 8;
  info.id = read_be16(p.data() + 4);
  info.ttl = p[8];
  info.protocol = p[9];
  info.src = read_be32(p.data() + 12);
  info.dst = read_be32(p.data() + 16);
  info.payload_offset = info.header_length;
  info.payload_length = info.total_length - info.header_length;
  if (info.fragment_offset + info.payload_length > 65535)
    return bad("fragment offset plus length past 65535");
  if (info.more_fragments && info.payload_length % 8 != 0)
    return bad("fragment length not a multiple of 8");
  if (info.fragment_offset == 0 && !parse_transport(p, info, error)) return std::nullopt;
  return info;
}

uint32_t checksum_add(std::span<const uint8_t> bytes, uint32_t sum) {
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += read_be16(bytes.data() + i);
  if (i < bytes.size()) sum += uint32_t{bytes[i]} << 8;
  // Fold as we go so long inputs cannot overflow the 32-bit accumulator.
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}

uint16_t checksum_fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

namespace {

uint16_t ip_header_checksum(std::span<const uint8_t> p, const Ipv4Info& info) {
  uint32_t sum = checksum_add(p.subspan(0, 10));
  sum = checksum_add(p.subspan(12, info.header_length - 12), sum);
  return static_cast<uint16_t>(~checksum_fold(sum));
}

// Transport checksum with the field itself counted as zero; offset is the field's position.
uint16_t transport_checksum(std::span<const uint8_t> p, const Ipv4Info& info, size_t field) {
  auto seg = p.subspan(info.payload_offset, info.payload_length);
  uint32_t sum = 0;
  if (info.protocol != 1) {
    uint8_t pseudo[12];
    write_be32(pseudo, info.src);
    write_be32(pseudo + 4, info.dst);
    pseudo[8] = 0;
    pseudo[9] = info.protocol;
    size_t len = info.protocol == 17 ? info.udp_length : info.payload_length;
    write_be16(pseudo + 10, static_cast<uint16_t>(len));
    sum = checksum_add(pseudo);
    if (info.protocol == 17) seg = seg.subspan(0, info.udp_length);
  }
  sum = checksum_add(seg.subspan(0, field), sum);
  sum = checksum_add(seg.subspan(field + 2), sum);
  uint16_t c = static_cast<uint16_t>(~checksum_fold(sum));
  // In UDP a zero checksum means "none", so a computed zero is sent as all ones.
  if (info.protocol == 17 && c == 0) c = 0xFFFF;
  return c;
}

size_t checksum_field(uint8_t protocol) {
  switch (protocol) {
    case 6:
      return 16;
    case 17:
      return 6;
    case 1:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

bool update_checksums(std::span<uint8_t> p) {
  auto info = parse_ipv4(p);
  if (!info) return false;
  write_be16(p.data() + 10, ip_header_checksum(p, *info));
  if (!info->is_fragment() && info->has_transport) {
    size_t field = checksum_field(info->protocol);
    write_be16(p.data() + info->payload_offset + field, transport_checksum(p, *info, field));
  }
  return true;
}

bool verify_checksums(std::span<const uint8_t> p) {
  auto info = parse_ipv4(p);
  if (!info) return false;
  if (read_be16(p.data() + 10) != ip_header_checksum(p, *info)) return false;
  if (!info->is_fragment() && info->has_transport) {
    size_t field = checksum_field(info->protocol);
    uint16_t have = read_be16(p.data() + info->payload_offset + field);
    if (info->protocol == 17 && have == 0) return true;
    if (have != transport_checksum(p, *info, field)) return false;
  }
  return true;
}

}  // namespace brevant
