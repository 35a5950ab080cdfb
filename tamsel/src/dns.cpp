// DNS redirection and answer learning: queries of ruled names go to the rule's resolver (and
// through the tunnel when a white rule covers it); answers get the asked resolver back as their
// source and teach address rules and names.
#include <netinet/in.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <string>
#include <unordered_map>

#include "packet.h"
#include "rules.h"
#include "tamsel_internal.h"

namespace tamsel {

namespace {

struct dns_lookup_entry {
  uint32_t asked;     // the resolver the process sent the query to
  uint32_t resolver;  // where it went instead
  uint16_t id;
  uint16_t client_port;  // network order
  int64_t when;          // seconds
};

constexpr size_t kMaxLookups = 1024;
constexpr int64_t kLookupLifetime = 30;
constexpr size_t kMaxLearntNames = 65536;
constexpr int kMaxAnalyzeRounds = 32;

std::list<dns_lookup_entry> dns_lookup_data_list;  // newest first
std::unordered_map<uint32_t, std::string> ip_to_domain_list;
std::deque<uint32_t> ip_to_domain_order;  // oldest first, for eviction

const uint8_t kClientSubnet[19] = {0,  0, 41, 0x10, 0x00, 0, 0, 0,  0, 0,
                                   12, 0, 8,  0,    8,    0, 1, 32, 0};

int64_t now_seconds() {
  struct timeval tv;
  k::microtime(&tv);
  return tv.tv_sec;
}

// The DNS message inside a UDP datagram: its bytes are bounded by the UDP length and by what is
// present.
struct udp_dns {
  ip_view ip;
  uint8_t* udp;
  uint8_t* dns;
  size_t len;
};

bool parse_udp_dns(uint8_t* p, size_t n, udp_dns* out) {
  if (!ip_parse(p, n, &out->ip) || out->ip.proto != IPPROTO_UDP || out->ip.fragment) return false;
  if (out->ip.len - out->ip.hl < 8) return false;
  out->udp = p + out->ip.hl;
  size_t udplen = rd16(out->udp + 4);
  if (udplen <= 8) return false;
  size_t present = out->ip.len - out->ip.hl - 8;
  out->dns = out->udp + 8;
  out->len = udplen - 8 < present ? udplen - 8 : present;
  return true;
}

bool likely_a_dns_packet(const uint8_t* d, size_t len, bool query) {
  if (len < 15) return false;
  if (((d[2] >> 3) & 0x0f) != 0 || (d[2] & 0x02)) return false;  // opcode, TC
  if (query) return !(d[2] & 0x80) && rd16(d + 4) == 1;
  return (d[2] & 0x80) && (d[3] & 0x0f) == 0;
}

// Question name at byte 12: labels top-level first, *end at its terminating zero. A label over
// 63 bytes, a pointer, too many labels or a name running past the message: no name.
bool read_question(const uint8_t* d, size_t len, dns_labels* out, size_t* end) {
  char tmp[kMaxLabels][kLabelSize];
  int n = 0;
  size_t pos = 12;
  for (;;) {
    if (pos >= len) return false;
    uint8_t l = d[pos];
    if (l == 0) break;
    if (l > 63 || n >= kMaxLabels || pos + 1 + l > len) return false;
    std::memcpy(tmp[n], d + pos + 1, l);
    tmp[n][l] = 0;
    ++n;
    pos += 1 + l;
  }
  if (n == 0) return false;
  out->count = n;
  for (int i = 0; i < n; ++i) std::memcpy(out->label[i], tmp[n - 1 - i], kLabelSize);
  *end = pos;
  return true;
}

bool edns_listed(uint32_t ip) {
  int32_t n = edns_server_count.load();
  for (int32_t i = 0; i < n && i < kEdnsServerMax; ++i)
    if (edns_server[i].load() == ip) return true;
  return false;
}

void remember_query(const dns_lookup_entry& e) {
  MutexHold hold(lock_mutext_dns_lookup_data);
  // Unanswered queries don't stay for ever, nor without bound.
  while (!dns_lookup_data_list.empty() &&
         (dns_lookup_data_list.size() >= kMaxLookups ||
          e.when - dns_lookup_data_list.back().when > kLookupLifetime))
    dns_lookup_data_list.pop_back();
  dns_lookup_data_list.push_front(e);
}

// Appends the client-subnet record when the query has no additional record and room to grow.
void add_client_subnet(k::mbuf_t m, udp_dns& q) {
  size_t n = k::mbuf_len(m);
  size_t udplen = rd16(q.udp + 4);
  if (rd16(q.dns + 10) != 0 || q.ip.hl + 8 + q.len != n || udplen - 8 != q.len ||
      n + 23 > k::mbuf_capacity(m) || n + 23 > 0xffff)
    return;
  if (k::mbuf_setlen(m, n + 23) != 0) return;
  uint8_t* p = k::mbuf_data(m);
  uint8_t* udp = p + q.ip.hl;
  wr16(udp + 4, static_cast<uint16_t>(udplen + 23));
  wr16(udp + 6, 0);
  wr16(p + 2, static_cast<uint16_t>(n + 23));
  wr16(udp + 8 + 10, 1);
  uint8_t* rec = p + n;
  std::memcpy(rec, kClientSubnet, sizeof kClientSubnet);
  uint32_t cip = client_ip.load();
  std::memcpy(rec + 19, &cip, 4);
}

bool analyze_dns_packet(const uint8_t* d, size_t len) {
  if (rd16(d + 6) == 0 || rd16(d + 4) != 1) return false;
  dns_labels q;
  size_t end;
  if (!read_question(d, len, &q, &end)) return false;
  pending_match pm{};
  bool matched = equal_to_unanalyzed_name(q, &pm);
  char name[kMaxLabels * kLabelSize];
  join_labels(q, name, sizeof name);
  klog("testlog analyze_dns_packet domain : %s", name);
  size_t pos = end + 1 + 4;
  for (uint16_t i = 0, count = rd16(d + 6); i < count && pos < len; ++i) {
    if (pos + 12 > len || (d[pos] & 0xc0) != 0xc0) break;
    uint16_t type = rd16(d + pos + 2), cls = rd16(d + pos + 4), rdlen = rd16(d + pos + 10);
    if (type == 5) {
      if (cls != 1) break;
      pos += 12 + rdlen;
      continue;
    }
    if (type != 1 || cls != 1 || rdlen != 4 || pos + 16 > len) break;
    const uint8_t* a = d + pos + 12;
    uint32_t ip;
    std::memcpy(&ip, a, 4);
    if (matched) {
      char text[256];
      std::snprintf(text, sizeof text, "%s%s%d.%d.%d.%d%s%s", pm.procname, "|", a[0], a[1], a[2],
                    a[3], "|", pm.rest);
      klog("testlog analyze_dns_packet insert rules : %s %s",
           pm.kind == RULE_KIND_WHITE ? "W+" : "B+", text);
      add_rule(pm.kind, pm.offset, pm.level, text, pm.text);
    } else {
      klog("testlog domain:%s => %d.%d.%d.%d", name, a[0], a[1], a[2], a[3]);
    }
    add_to_ip_to_domain_list(ip, name);
    pos += 16;
  }
  return matched;
}

}  // namespace

bool out_dns_processed(k::mbuf_t m, abi::ippacket_desc_s* d) {
  udp_dns q;
  uint8_t* p = k::mbuf_data(m);
  if (!parse_udp_dns(p, k::mbuf_len(m), &q)) return false;
  if (!likely_a_dns_packet(q.dns, q.len, true)) return false;
  dns_labels name;
  size_t end;
  if (!read_question(q.dns, q.len, &name, &end) || end + 5 > q.len) return false;
  if (rd16(q.dns + end + 1) != 1 || rd16(q.dns + end + 3) != 1) return false;  // A, IN
  uint32_t resolver = find_dns_lookup_using_server(name);
  if (!resolver) return false;

  dns_lookup_entry e{};
  std::memcpy(&e.asked, p + 16, 4);
  e.resolver = resolver;
  std::memcpy(&e.id, q.dns, 2);
  std::memcpy(&e.client_port, q.udp, 2);
  e.when = now_seconds();
  remember_query(e);
  std::memcpy(p + 16, &resolver, 4);
  k::mbuf_set_modified(m);
  d->ip = resolver;

  abi::ippacket_desc_s w = *d;
  std::memset(w.procname, 0, sizeof w.procname);
  if (!intercept_ippacket_match_white_list(&w, &d->offset, &d->level, d->text)) {
    // Goes straight to the resolver: its destination changed, so do its checksums.
    update_ip_cksum(p, k::mbuf_len(m));
    return false;
  }
  std::strcpy(d->procname, "DNS");
  if (edns_listed(resolver)) add_client_subnet(m, q);
  return true;
}

void in_dns_packet_process(k::mbuf_t m) {
  udp_dns a;
  uint8_t* p = k::mbuf_data(m);
  if (!parse_udp_dns(p, k::mbuf_len(m), &a) || rd16(a.udp) != 53 || a.len < 12) return;
  // Every response to a remembered query gets its asked resolver back, errors included.
  if ((a.dns[2] & 0x80) && ((a.dns[2] >> 3) & 0x0f) == 0) {
    uint16_t id, client_port;
    uint32_t src;
    std::memcpy(&id, a.dns, 2);
    std::memcpy(&client_port, a.udp + 2, 2);
    std::memcpy(&src, p + 12, 4);
    bool found = false;
    uint32_t asked = 0;
    {
      MutexHold hold(lock_mutext_dns_lookup_data);
      for (auto it = dns_lookup_data_list.begin(); it != dns_lookup_data_list.end(); ++it) {
        if (it->id == id && it->resolver == src && it->client_port == client_port) {
          asked = it->asked;
          dns_lookup_data_list.erase(it);
          found = true;
          break;
        }
      }
    }
    if (found) {
      std::memcpy(p + 12, &asked, 4);
      update_ip_cksum(p, k::mbuf_len(m));
      k::mbuf_set_modified(m);
    }
  }
  if (!likely_a_dns_packet(a.dns, a.len, false)) return;
  for (int i = 0; i < kMaxAnalyzeRounds; ++i)
    if (!analyze_dns_packet(a.dns, a.len)) break;
}

void add_to_ip_to_domain_list(uint32_t ip, const char* name) {
  size_t n = strnlen(name, 64);
  if (n == 0 || n > 63) return;  // records carry at most 63 characters and a NUL
  MutexHold hold(lock_mutext_ip_to_domain_list);
  if (ip_to_domain_list.count(ip)) return;  // the first name wins
  if (ip_to_domain_list.size() >= kMaxLearntNames) {
    ip_to_domain_list.erase(ip_to_domain_order.front());
    ip_to_domain_order.pop_front();
  }
  ip_to_domain_list.emplace(ip, std::string(name, n));
  ip_to_domain_order.push_back(ip);
}

void domain_of_ip(uint32_t ip, char* out, size_t size) {
  if (size == 0) return;
  out[0] = 0;
  MutexHold hold(lock_mutext_ip_to_domain_list);
  auto it = ip_to_domain_list.find(ip);
  if (it != ip_to_domain_list.end()) copy_text(out, size, it->second.c_str(), it->second.size());
}

void dns_lists_clear() {
  dns_rule_list_clear();
  {
    MutexHold hold(lock_mutext_dns_lookup_data);
    dns_lookup_data_list.clear();
  }
  MutexHold hold(lock_mutext_ip_to_domain_list);
  ip_to_domain_list.clear();
  ip_to_domain_order.clear();
}

size_t dns_lookup_data_count() {
  MutexHold hold(lock_mutext_dns_lookup_data);
  return dns_lookup_data_list.size();
}
size_t ip_to_domain_count() {
  MutexHold hold(lock_mutext_ip_to_domain_list);
  return ip_to_domain_list.size();
}

}  // namespace tamsel
