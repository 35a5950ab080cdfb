#include "Mazzle/MZIPv4Packet.h"

#include <algorithm>

#include "Brevant/DnsMessage.h"
#include "Brevant/Packet.h"
#include "Mazzle/MZHelper.h"

using brevant::read_be16;
using brevant::write_be16;
using brevant::write_be32;

std::shared_ptr<MZIPv4Packet> MZIPv4Packet::packetWithData(std::span<const uint8_t> data,
                                                           bool outgoing) {
  auto info = brevant::parse_ipv4(data);
  if (!info) return nullptr;
  std::shared_ptr<MZIPv4Packet> p(new MZIPv4Packet());
  p->data_.assign(data.begin(), data.begin() + static_cast<ptrdiff_t>(info->total_length));
  p->outgoing_ = outgoing;
  p->reparse();
  return p;
}

void MZIPv4Packet::reparse() {
  // data_ always holds a packet that passed the checks, so this cannot fail.
  auto info = brevant::parse_ipv4(data_);
  src_ = info->src;
  dst_ = info->dst;
  protocol_ = info->protocol;
  id_ = info->id;
  fragment_ = info->is_fragment();
  header_length_ = info->header_length;
  bool ports = info->has_transport && (protocol_ == 6 || protocol_ == 17);
  src_port_ = ports ? info->src_port : 0;
  dst_port_ = ports ? info->dst_port : 0;
}

std::span<const uint8_t> MZIPv4Packet::payload() const {
  return std::span<const uint8_t>(data_).subspan(header_length_);
}

std::string MZIPv4Packet::description() const {
  std::string proto = protocol_ == 6    ? "TCP"
                      : protocol_ == 17 ? "UDP"
                      : protocol_ == 1  ? "ICMP"
                                        : "IP/" + std::to_string(protocol_);
  auto endpoint = [&](uint32_t addr, uint16_t port) {
    std::string s = MZHelper::ipv4LiteralFromAddr(addr);
    if (src_port_ || dst_port_) s += ":" + std::to_string(port);
    return s;
  };
  std::string s = std::string(outgoing_ ? "-> " : "<- ") + proto + " " + endpoint(src_, src_port_) +
                  " > " + endpoint(dst_, dst_port_) + " len " + std::to_string(data_.size()) +
                  " id " + std::to_string(id_);
  if (fragment_) {
    uint16_t frag = read_be16(data_.data() + 6);
    s += " frag off " + std::to_string((frag & 0x1FFF) * 8) + ((frag & 0x2000) ? " MF" : "");
  }
  return s;
}

void MZIPv4Packet::updateChecksum() { brevant::update_checksums(data_); }

bool MZIPv4Packet::upgradeToEDNSWithClientIP(uint32_t clientIP) {
  auto info = brevant::parse_ipv4(data_);
  if (!info || info->protocol != 17 || info->is_fragment() || info->dst_port != 53) return false;
  size_t dns_offset = info->payload_offset + 8;
  size_t dns_length = info->udp_length - 8;
  auto msg =
      brevant::parse_dns_message(std::span<const uint8_t>(data_).subspan(dns_offset, dns_length));
  // Only a plain query that ends where the datagram ends can take a record at its end.
  if (!msg || msg->is_response() || msg->opcode() != 0 || !msg->additional.empty() ||
      msg->end != dns_length)
    return false;
  const uint8_t opt[] = {0x00,  // root name
                         0x00,
                         41,  // type OPT
                         0x10,
                         0x00,  // UDP payload size 4096
                         0x00,
                         0x00,
                         0x00,
                         0x00,  // extended rcode, version, flags
                         0x00,
                         11,  // RDLENGTH
                         0x00,
                         8,  // option: client subnet
                         0x00,
                         7,  // option length
                         0x00,
                         1,  // family IPv4
                         24,
                         0,  // source and scope prefix
                         static_cast<uint8_t>(clientIP >> 24),
                         static_cast<uint8_t>(clientIP >> 16),
                         static_cast<uint8_t>(clientIP >> 8)};
  size_t udp_end = info->payload_offset + info->udp_length;
  if (udp_end + sizeof(opt) > 65535) return false;
  // Bytes after the UDP datagram inside the IP packet are padding; the record replaces them.
  data_.resize(udp_end);
  data_.insert(data_.end(), std::begin(opt), std::end(opt));
  write_be16(data_.data() + dns_offset + 10, 1);  // ARCOUNT
  write_be16(data_.data() + info->payload_offset + 4,
             static_cast<uint16_t>(info->udp_length + sizeof(opt)));
  write_be16(data_.data() + 2, static_cast<uint16_t>(data_.size()));
  brevant::update_checksums(data_);
  reparse();
  return true;
}

bool MZIPv4Packet::fragmentPacket(std::span<const uint8_t> data) {
  auto info = brevant::parse_ipv4(data);
  return info && info->is_fragment();
}

// ---- reassembly ----

MZIPv4Packet::Reassembler::Reassembler(Clock clock, size_t maxPending,
                                       std::chrono::steady_clock::duration lifetime)
    : clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      max_pending_(maxPending == 0 ? 1 : maxPending),
      lifetime_(lifetime) {}

void MZIPv4Packet::Reassembler::drop(std::map<Key, std::list<Datagram>::iterator>::iterator it) {
  order_.erase(it->second);
  index_.erase(it);
}

void MZIPv4Packet::Reassembler::expire(std::chrono::steady_clock::time_point now) {
  while (!order_.empty() && order_.front().expires <= now) {
    index_.erase(order_.front().key);
    order_.pop_front();
  }
}

size_t MZIPv4Packet::Reassembler::pending() const {
  std::lock_guard lock(mutex_);
  return index_.size();
}

std::optional<std::vector<uint8_t>> MZIPv4Packet::Reassembler::add(std::span<const uint8_t> data) {
  auto info = brevant::parse_ipv4(data);
  if (!info) return std::nullopt;
  if (!info->is_fragment())
    return std::vector<uint8_t>(data.begin(),
                                data.begin() + static_cast<ptrdiff_t>(info->total_length));
  if (info->payload_length == 0) return std::nullopt;

  auto now = clock_();
  std::lock_guard lock(mutex_);
  expire(now);
  Key key{info->src, info->dst, info->protocol, info->id};
  auto it = index_.find(key);
  if (it == index_.end()) {
    if (index_.size() >= max_pending_) {
      index_.erase(order_.front().key);
      order_.pop_front();
    }
    order_.push_back(Datagram{key, now + lifetime_, {}, {}, 0, std::nullopt});
    it = index_.emplace(key, std::prev(order_.end())).first;
  }
  Datagram& d = *it->second;

  const size_t begin = info->fragment_offset;
  const size_t end = begin + info->payload_length;
  const size_t header_length = begin == 0         ? info->header_length
                               : d.header.empty() ? 20
                                                  : d.header.size();
  // The whole datagram, header included, must fit in an IPv4 packet.
  if (header_length + end > 65535) return drop(it), std::nullopt;
  if (d.total && (end > *d.total || (!info->more_fragments && end != *d.total)))
    return drop(it), std::nullopt;
  if (!info->more_fragments) {
    if (!d.pieces.empty() &&
        std::prev(d.pieces.end())->first + std::prev(d.pieces.end())->second.size() > end)
      return drop(it), std::nullopt;
    d.total = end;
  }
  // Overlap with the neighbours on either side drops the datagram.
  auto next = d.pieces.lower_bound(begin);
  if (next != d.pieces.end() && next->first < end) return drop(it), std::nullopt;
  if (next != d.pieces.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second.size() > begin) return drop(it), std::nullopt;
  }
  if (begin == 0) {
    d.header.assign(data.begin(), data.begin() + static_cast<ptrdiff_t>(info->header_length));
    if (d.total && d.header.size() + *d.total > 65535) return drop(it), std::nullopt;
  }
  auto payload = data.subspan(info->payload_offset, info->payload_length);
  d.pieces.emplace(begin, std::vector<uint8_t>(payload.begin(), payload.end()));
  d.received += info->payload_length;

  if (!d.total || d.header.empty() || d.received != *d.total) return std::nullopt;

  std::vector<uint8_t> whole = d.header;
  whole.reserve(d.header.size() + *d.total);
  for (auto& [offset, bytes] : d.pieces) whole.insert(whole.end(), bytes.begin(), bytes.end());
  write_be16(whole.data() + 2, static_cast<uint16_t>(whole.size()));
  write_be16(whole.data() + 6, static_cast<uint16_t>(read_be16(whole.data() + 6) & 0x4000));
  drop(it);
  // A reassembled datagram whose transport header lies turns out unsound here.
  if (!brevant::update_checksums(whole)) return std::nullopt;
  return whole;
}

std::optional<std::vector<uint8_t>> MZIPv4Packet::reassemblePacket(std::span<const uint8_t> data) {
  static Reassembler shared;
  return shared.add(data);
}

// ---- builders ----

std::vector<uint8_t> MZIPv4Packet::buildIPv4(uint32_t src, uint32_t dst, uint8_t protocol,
                                             std::span<const uint8_t> payload, uint16_t id,
                                             uint8_t ttl) {
  size_t total = std::min<size_t>(20 + payload.size(), 65535);
  std::vector<uint8_t> p(total, 0);
  p[0] = 0x45;
  write_be16(p.data() + 2, static_cast<uint16_t>(total));
  write_be16(p.data() + 4, id);
  p[8] = ttl;
  p[9] = protocol;
  write_be32(p.data() + 12, src);
  write_be32(p.data() + 16, dst);
  std::copy_n(payload.begin(), total - 20, p.begin() + 20);
  brevant::update_checksums(p);
  return p;
}

std::vector<uint8_t> MZIPv4Packet::buildUDP(uint32_t src, uint16_t srcPort, uint32_t dst,
                                            uint16_t dstPort, std::span<const uint8_t> payload,
                                            uint16_t id, uint8_t ttl) {
  size_t length = std::min<size_t>(8 + payload.size(), 65535 - 20);
  std::vector<uint8_t> udp(length, 0);
  write_be16(udp.data(), srcPort);
  write_be16(udp.data() + 2, dstPort);
  write_be16(udp.data() + 4, static_cast<uint16_t>(length));
  std::copy_n(payload.begin(), length - 8, udp.begin() + 8);
  return buildIPv4(src, dst, 17, udp, id, ttl);
}

std::vector<std::vector<uint8_t>> MZIPv4Packet::buildFragments(std::span<const uint8_t> packet,
                                                               size_t mtu) {
  auto info = brevant::parse_ipv4(packet);
  if (!info || mtu < 68) return {};
  if (info->total_length <= mtu)
    return {std::vector<uint8_t>(packet.begin(),
                                 packet.begin() + static_cast<ptrdiff_t>(info->total_length))};
  if (info->dont_fragment) return {};

  std::vector<uint8_t> first_header(packet.begin(),
                                    packet.begin() + static_cast<ptrdiff_t>(info->header_length));
  // Later fragments repeat only the options marked for copying.
  std::vector<uint8_t> later_header(packet.begin(), packet.begin() + 20);
  for (size_t i = 20; i < info->header_length;) {
    uint8_t type = packet[i];
    if (type == 0) break;
    if (type == 1) {
      ++i;
      continue;
    }
    if (i + 1 >= info->header_length) break;
    size_t len = packet[i + 1];
    if (len < 2 || i + len > info->header_length) break;
    if (type & 0x80)
      later_header.insert(later_header.end(), packet.begin() + static_cast<ptrdiff_t>(i),
                          packet.begin() + static_cast<ptrdiff_t>(i + len));
    i += len;
  }
  while (later_header.size() % 4) later_header.push_back(0);
  later_header[0] = static_cast<uint8_t>(0x40 | (later_header.size() / 4));

  auto payload = packet.subspan(info->payload_offset, info->payload_length);
  std::vector<std::vector<uint8_t>> out;
  size_t offset = 0;
  while (offset < payload.size()) {
    const auto& header = offset == 0 ? first_header : later_header;
    if (mtu < header.size() + 8) return {};
    size_t room = (mtu - header.size()) & ~size_t{7};
    // The first piece must hold the whole transport header, or no reader will take it.
    if (offset == 0 && room < info->transport_header_length) return {};
    size_t take = std::min(room, payload.size() - offset);
    bool more = offset + take < payload.size() || info->more_fragments;
    std::vector<uint8_t> frag(header);
    frag.insert(frag.end(), payload.begin() + static_cast<ptrdiff_t>(offset),
                payload.begin() + static_cast<ptrdiff_t>(offset + take));
    write_be16(frag.data() + 2, static_cast<uint16_t>(frag.size()));
    size_t frag_offset = (info->fragment_offset + offset) / 8;
    write_be16(frag.data() + 6, static_cast<uint16_t>((more ? 0x2000 : 0) | frag_offset));
    brevant::update_checksums(frag);
    out.push_back(std::move(frag));
    offset += take;
  }
  return out;
}
