#include <arpa/inet.h>

#include "Brevant/Brevant.h"
#include "Brevant/DnsMessage.h"
#include "Brevant/Packet.h"

namespace brevant {
namespace {

constexpr uint16_t kDnsPort = 53;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// The DNS message of a UDP packet that parse_ipv4 accepted, when it is unfragmented UDP.
std::span<const uint8_t> udp_payload(std::span<const uint8_t> p, const Ipv4Info& info) {
  if (info.protocol != kProtoUDP || info.is_fragment() || !info.has_transport) return {};
  return p.subspan(info.payload_offset + 8, info.udp_length - 8);
}

// A DNS message of the expected kind: query (want_response false) or answer, standard
// opcode, one question.
std::optional<DnsMessage> dns_of(std::span<const uint8_t> p, const Ipv4Info& info,
                                 bool want_response) {
  if (info.protocol != kProtoUDP || !info.has_transport || info.is_fragment()) return std::nullopt;
  uint16_t port = want_response ? info.src_port : info.dst_port;
  if (port != kDnsPort) return std::nullopt;
  auto msg = parse_dns_message(udp_payload(p, info));
  if (!msg || msg->is_response() != want_response || msg->opcode() != 0 ||
      msg->questions.size() != 1)
    return std::nullopt;
  return msg;
}

void set_addr(uint8_t* field, uint32_t addr) { write_be32(field, addr); }

}  // namespace

bool get_ip_session_info(const DomainTable* domains, ip_session_info& record,
                         std::span<const uint8_t> packet, int direction) {
  record = ip_session_info{};
  auto info = parse_ipv4(packet);
  if (!info) return false;
  record.parsed = true;
  record.src_ip = info->src;
  record.dst_ip = info->dst;
  record.protocol = info->protocol;
  if (info->has_transport && (info->protocol == kProtoTCP || info->protocol == kProtoUDP)) {
    record.src_port = htons(info->src_port);
    record.dst_port = htons(info->dst_port);
  }
  if (auto msg = dns_of(packet, *info, direction == kDirectionIncoming)) {
    record.is_dns = true;
    record.dns_id = msg->id;
    record.domain = msg->questions[0].name;
  } else if (domains) {
    record.domain = domains->lookup(info->dst);
  }
  return true;
}

bool process_dns_query_packet(DnsRedirectTable& redirects, uint32_t server,
                              std::span<uint8_t> packet) {
  auto info = parse_ipv4(packet);
  if (!info) return false;
  auto msg = dns_of(packet, *info, false);
  if (!msg) return false;
  redirects.remember(info->src, info->src_port, msg->id, info->dst);
  set_addr(packet.data() + 16, server);
  return update_checksums(packet);
}

size_t record_ip_to_domain_from_dns_answer_packet(DomainTable& domains,
                                                  std::span<const uint8_t> packet) {
  auto info = parse_ipv4(packet);
  if (!info) return 0;
  auto msg = dns_of(packet, *info, true);
  if (!msg) return 0;
  const std::string& qname = msg->questions[0].name;
  if (qname.empty()) return 0;
  // Walk the CNAME chain from the question name; only addresses of names on it are learned,
  // under the name the game asked for.
  std::vector<std::string> chain{qname};
  for (size_t guard = 0; guard < msg->answers.size(); ++guard) {
    bool extended = false;
    for (const DnsRecord& r : msg->answers) {
      if (r.type == kDnsTypeCNAME && r.klass == 1 && iequals(r.name, chain.back()) &&
          !r.target.empty()) {
        bool seen = false;
        for (const auto& n : chain) seen = seen || iequals(n, r.target);
        if (seen) break;
        chain.push_back(r.target);
        extended = true;
        break;
      }
    }
    if (!extended) break;
  }
  std::string domain = lowered(qname);
  size_t learned = 0;
  for (const DnsRecord& r : msg->answers) {
    if (r.type != kDnsTypeA || r.klass != 1) continue;
    bool on_chain = false;
    for (const auto& n : chain) on_chain = on_chain || iequals(n, r.name);
    if (!on_chain) continue;
    domains.record(r.address, domain);
    ++learned;
  }
  return learned;
}

bool process_dns_answer_packet(DnsRedirectTable& redirects, DomainTable& domains,
                               std::span<uint8_t> packet, int restore_source) {
  auto info = parse_ipv4(packet);
  if (!info) return false;
  auto msg = dns_of(packet, *info, true);
  if (!msg) return false;
  if (restore_source) {
    if (auto original = redirects.take(info->dst, info->dst_port, msg->id)) {
      set_addr(packet.data() + 12, *original);
    }
  }
  update_checksums(packet);
  record_ip_to_domain_from_dns_answer_packet(domains, packet);
  return true;
}

std::string domain_of_ip(const DomainTable& domains, uint32_t addr) { return domains.lookup(addr); }

}  // namespace brevant
