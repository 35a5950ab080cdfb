// Rule language and rule lists.
#include "rules.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <string>
#include <string_view>
#include <unordered_set>

namespace tamsel {

namespace {

struct pending_domain_entry {
  char procname[24];
  char rest[64];
  uint8_t kind;
  uint8_t offset;
  uint8_t level;
  char text[64];
  dns_labels labels;
};

struct dns_rule_entry {
  uint32_t server;
  dns_labels labels;
};

// Every field that makes two rules duplicates (the text is not one of them), as bytes.
struct RuleKey {
  std::array<char, 41> bytes;
  bool operator==(const RuleKey&) const = default;
};
struct RuleKeyHash {
  size_t operator()(const RuleKey& k) const {
    return std::hash<std::string_view>()(std::string_view(k.bytes.data(), k.bytes.size()));
  }
};

// The white list is kept as one bucket per path offset, walked in offset order, so that an
// insert goes to the front of its bucket instead of walking past every lower offset.
std::array<std::deque<rule_entry>, abi::kPathOffsetCount> white_rule_list;
size_t white_rule_total = 0;
std::deque<rule_entry> black_rule_list;
// Keys of the entries of each list, so that the duplicate test does not walk thousands of rules.
std::unordered_set<RuleKey, RuleKeyHash> white_rule_keys;
std::unordered_set<RuleKey, RuleKeyHash> black_rule_keys;

// A process-name list in its order (newest first) with its names in lower case beside it, so
// that "is this name covered" is one lookup: an entry "*" covers every name.
struct NameList {
  std::deque<std::string> order;  // names of at most 23 characters
  std::unordered_set<std::string> lowered;
  bool star = false;
};
NameList enabled_procname_list;
NameList black_procname_list;
std::list<pending_domain_entry*> unanalyzed_domain_list;
std::list<dns_rule_entry*> dns_rule_list;

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(const char* a, const char* b, size_t max) {
  for (size_t i = 0; i < max; ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
    if (a[i] == 0) return true;
  }
  return true;
}

// Token reader: separators at the start are skipped, runs count as one.
struct Tokens {
  const char* p;
  char sep;
  // Next token as [begin, end), false when none is left.
  bool next(const char** b, const char** e) {
    while (*p == sep) ++p;
    if (!*p) return false;
    *b = p;
    while (*p && *p != sep) ++p;
    *e = p;
    return true;
  }
};

// Integer in automatic base (0x hex, leading 0 octal) that must consume the whole text.
bool read_number(const char* b, const char* e, uint32_t* out) {
  if (b == e) return false;
  uint32_t base = 10;
  if (e - b > 1 && b[0] == '0' && (b[1] == 'x' || b[1] == 'X')) {
    base = 16;
    b += 2;
    if (b == e) return false;
  } else if (b[0] == '0') {
    base = 8;
  }
  uint64_t v = 0;
  for (const char* p = b; p < e; ++p) {
    uint32_t d;
    if (*p >= '0' && *p <= '9')
      d = static_cast<uint32_t>(*p - '0');
    else if (lower(*p) >= 'a' && lower(*p) <= 'f')
      d = static_cast<uint32_t>(lower(*p) - 'a' + 10);
    else
      return false;
    if (d >= base) return false;
    v = v * base + d;
    if (v > 0xffffffffull) return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

uint32_t address_number(const uint8_t* a, int octets) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | (i < octets ? a[i] : 0);
  return v;
}

RuleKey rule_key(const rule_entry& r) {
  RuleKey k{};
  char* p = k.bytes.data();
  // Only the name's own bytes: what follows its end is left zero.
  std::memcpy(p, r.procname, strnlen(r.procname, sizeof r.procname));
  p += sizeof r.procname;
  auto put = [&p](const void* v, size_t n) {
    std::memcpy(p, v, n);
    p += n;
  };
  put(r.from, 4);
  put(r.to, 4);
  put(&r.octets, 1);
  put(&r.port_from, 2);
  put(&r.port_to, 2);
  put(&r.protocol, 2);
  put(&r.offset, 1);
  put(&r.level, 1);
  return k;
}

std::string lowered(const char* name) {
  std::string n(name, strnlen(name, 23));
  for (char& c : n) c = lower(c);
  return n;
}

bool name_covered(const NameList& l, const char* name) {
  if (l.star) return true;
  // A name of 24 characters or more equals no entry: entries have at most 23.
  if (strnlen(name, 24) > 23) return false;
  return l.lowered.count(lowered(name)) != 0;
}

// 0 when the name is covered already or added; ENOSPC when the list is full.
errno_t name_add(NameList& l, const char* name, size_t cap) {
  if (name_covered(l, name)) return 0;
  if (l.order.size() >= cap) return ENOSPC;
  l.order.emplace_front(name, strnlen(name, 23));
  if (l.order.front() == "*")
    l.star = true;
  else
    l.lowered.insert(lowered(name));
  return 0;
}

void name_clear(NameList& l) {
  l.order.clear();
  l.lowered.clear();
  l.star = false;
}

// The address test of both matchers: the rule's counted octets read as one number, missing
// low octets 0. (Octet by octet admitted addresses outside ranges that span octets.)
bool address_in_rule(const rule_entry& r, uint32_t ip_net) {
  uint8_t a[4];
  std::memcpy(a, &ip_net, 4);
  uint32_t v = address_number(a, r.octets);
  return v >= address_number(r.from, r.octets) && v <= address_number(r.to, r.octets);
}

errno_t add_to_white_rule_list(const rule_entry& r) {
  if (r.offset >= abi::kPathOffsetCount) return EINVAL;
  // The name first: a rule whose name finds no room is not added at all. (A duplicate's name is
  // there already.)
  errno_t e = enabled_procname_add(r.procname);
  if (e) return e;
  {
    MutexHold hold(lock_mutext_white_rule_list);
    RuleKey key = rule_key(r);
    if (white_rule_keys.count(key)) return 0;
    if (white_rule_total >= kMaxWhiteRules) return ENOSPC;
    white_rule_keys.insert(key);
    // Among equal offsets the newest comes first.
    white_rule_list[r.offset].push_front(r);
    ++white_rule_total;
  }
  klog("W+ [%d/%d] [%s] [%d.%d.%d.%d-%d.%d.%d.%d %d] [%d-%d] %s {%s}\n", r.offset, r.level,
       r.procname, r.from[0], r.from[1], r.from[2], r.from[3], r.to[0], r.to[1], r.to[2], r.to[3],
       r.octets, r.port_from, r.port_to, protocol_string(r.protocol), r.text);
  return 0;
}

errno_t add_to_black_rule_list(const rule_entry& r) {
  size_t before;
  {
    MutexHold hold(lock_mutext_black_rule_list);
    RuleKey key = rule_key(r);
    if (black_rule_keys.count(key)) return 0;
    if (black_rule_list.size() >= kMaxBlackRules) return ENOSPC;
    black_rule_keys.insert(key);
    before = black_rule_list.size();
    black_rule_list.push_front(r);
  }
  klog("B+ [%s] [%d.%d.%d.%d - %d.%d.%d.%d  %d] [%d - %d] %s {%s}  index=%zu\n", r.procname,
       r.from[0], r.from[1], r.from[2], r.from[3], r.to[0], r.to[1], r.to[2], r.to[3], r.octets,
       r.port_from, r.port_to, protocol_string(r.protocol), r.text, before);
  return 0;
}

// A port part of at most 15 characters, read whole as a decimal number within 16 bits.
bool read_port(const char* b, const char* e, uint16_t* out) {
  if (e - b > 15) e = b + 15;
  if (b == e) return false;
  uint32_t v = 0;
  for (const char* p = b; p < e; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<uint32_t>(*p - '0');
    if (v > 65535) return false;
  }
  *out = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

const char* protocol_string(uint16_t protocol) {
  switch (protocol) {
    case 1:
      return "ICMP";
    case 6:
      return "TCP";
    case 17:
      return "UDP";
    default:
      return protocol >= PROTO_ANY ? "ALL" : "Unknown";
  }
}

bool looks_like_domain(const char* text) {
  size_t n = std::strlen(text);
  if (n < 3 || text[0] == '.' || !std::strchr(text, '.')) return false;
  for (size_t i = 0; i < n; ++i)
    if (is_alpha(text[i])) return true;
  return false;
}

int convert_address(const char* part, uint8_t out[4]) {
  if (std::strlen(part) >= 16 || looks_like_domain(part)) return -1;
  std::memset(out, 0, 4);
  Tokens t{part, '.'};
  const char *b, *e;
  int count = 0;
  while (count < 4 && t.next(&b, &e)) {
    if (*b == '*') return count;
    uint32_t v;
    if (!read_number(b, e, &v)) return -1;
    out[count++] = static_cast<uint8_t>(v & 0xff);
  }
  return count == 4 ? 4 : -1;
}

errno_t split_labels(const char* name, size_t len, dns_labels* out) {
  std::string copy(name, strnlen(name, len));
  out->count = 0;
  Tokens t{copy.c_str(), '.'};
  const char *b, *e;
  char tmp[kMaxLabels][kLabelSize];
  int n = 0;
  while (t.next(&b, &e)) {
    if (e - b >= kLabelSize || n >= kMaxLabels) return E2BIG;
    std::memcpy(tmp[n], b, static_cast<size_t>(e - b));
    tmp[n][e - b] = 0;
    ++n;
  }
  if (n == 0) return EINVAL;
  for (int i = 0; i < n; ++i) std::memcpy(out->label[i], tmp[n - 1 - i], kLabelSize);
  out->count = n;
  return 0;
}

void join_labels(const dns_labels& l, char* out, size_t size) {
  size_t pos = 0;
  out[0] = 0;
  for (int i = l.count - 1; i >= 0 && pos + 1 < size; --i) {
    int w = std::snprintf(out + pos, size - pos, "%s%s", l.label[i], i ? "." : "");
    if (w < 0) break;
    pos += static_cast<size_t>(w);
  }
}

bool labels_match(const dns_labels& rule, const dns_labels& name) {
  int i = 0;
  for (; i < rule.count && i < name.count; ++i) {
    if (rule.label[i][0] == '*') {
      if (i == rule.count - 1) return true;
      continue;
    }
    if (!equal_nocase(rule.label[i], name.label[i], kLabelSize)) return false;
  }
  if (i == rule.count && i == name.count) return true;
  // The name ended first: "*" as the rule's next and last label covers the name itself.
  return i == name.count && i == rule.count - 1 && rule.label[i][0] == '*';
}

errno_t add_rule(int kind, int32_t offset, int32_t level, const char* text, const char* stored) {
  if (offset < 0 || offset >= abi::kPathOffsetCount) return EINVAL;
  Tokens t{text, '|'};
  const char *fb[4], *fe[4];
  int fields = 0;
  while (fields < 4 && t.next(&fb[fields], &fe[fields])) ++fields;
  rule_entry r{};
  if (fields < 1 || fe[0] - fb[0] > 23) {
    std::string name = fields ? std::string(fb[0], fe[0]) : "";
    klog("+ Procname (%s) too long", name.c_str());
    return E2BIG;
  }
  std::memcpy(r.procname, fb[0], static_cast<size_t>(fe[0] - fb[0]));
  if (fields < 2 || fe[1] - fb[1] > 63) return EINVAL;
  std::string address(fb[1], fe[1]);
  if (looks_like_domain(address.c_str()))
    return add_to_unanalyzed_domain_list(kind, offset, level, text);

  size_t dash = address.find('-');
  std::string first = address.substr(0, dash);
  if (first == "*") {
    std::memset(r.to, 255, 4);
    r.octets = 4;
  } else {
    int n = convert_address(first.c_str(), r.from);
    if (n < 0) return EINVAL;
    r.octets = static_cast<uint8_t>(n);
    std::memcpy(r.to, r.from, 4);
    if (n == 4 && dash != std::string::npos) {
      if (convert_address(address.substr(dash + 1).c_str(), r.to) != 4) return EINVAL;
    }
  }

  if (fields < 3) return EINVAL;
  std::string port(fb[2], fe[2]);
  size_t pd = port.find('-');
  if (port == "*") {
    r.port_from = 0;
    r.port_to = 65535;
  } else {
    const char* pb = port.c_str();
    const char* pe = pd == std::string::npos ? pb + port.size() : pb + pd;
    if (!read_port(pb, pe, &r.port_from)) return EINVAL;
    r.port_to = r.port_from;
    if (pd != std::string::npos && !read_port(pe + 1, pb + port.size(), &r.port_to)) return EINVAL;
    if (r.port_from > r.port_to) return EINVAL;
  }

  if (fields < 4) return EINVAL;
  std::string proto(fb[3], fe[3]);
  if (equal_nocase(proto.c_str(), "tcp", 4))
    r.protocol = 6;
  else if (equal_nocase(proto.c_str(), "udp", 4))
    r.protocol = 17;
  else if (equal_nocase(proto.c_str(), "icmp", 5))
    r.protocol = 1;
  else if (proto == "*")
    r.protocol = PROTO_ANY;
  else
    return EINVAL;

  if (kind == RULE_KIND_WHITE) {
    r.offset = static_cast<uint8_t>(offset);
    r.level = static_cast<uint8_t>(level & 0xff);
  }
  copy_text(r.text, sizeof r.text, stored ? stored : text, 63);
  return kind == RULE_KIND_WHITE ? add_to_white_rule_list(r) : add_to_black_rule_list(r);
}

errno_t add_to_unanalyzed_domain_list(int kind, int32_t offset, int32_t level, const char* text) {
  Tokens t{text, '|'};
  const char *pb, *pe, *db, *de;
  if (!t.next(&pb, &pe) || !t.next(&db, &de)) return EINVAL;
  if (pe - pb > 23) return E2BIG;
  const char* rest = t.p;
  if (*rest == '|') ++rest;  // the second separator
  while (*rest == ' ' || *rest == '\t') ++rest;
  if (std::strlen(rest) >= 64) return E2BIG;
  if (unanalyzed_domain_count() >= kMaxPendingDomainRules) return ENOSPC;
  auto* e = static_cast<pending_domain_entry*>(k::kalloc(sizeof(pending_domain_entry)));
  if (!e) return ENOMEM;
  errno_t r = split_labels(db, static_cast<size_t>(de - db), &e->labels);
  if (r) {
    k::kfree(e);
    return r;
  }
  std::memcpy(e->procname, pb, static_cast<size_t>(pe - pb));
  std::strcpy(e->rest, rest);
  e->kind = static_cast<uint8_t>(kind);
  e->offset = static_cast<uint8_t>(kind == RULE_KIND_WHITE ? offset : 0);
  e->level = static_cast<uint8_t>(kind == RULE_KIND_WHITE ? level : 0);
  copy_text(e->text, sizeof e->text, text, 63);
  char name[kMaxLabels * kLabelSize];
  join_labels(e->labels, name, sizeof name);
  char prefix[64];
  if (kind == RULE_KIND_WHITE)
    std::snprintf(prefix, sizeof prefix, "_W+ [%d/%d] ", e->offset, e->level);
  else
    std::snprintf(prefix, sizeof prefix, "_B+ ");
  klog("%s[%s] [%s] [%s] {%s}\n", prefix, e->procname, name, e->rest, e->text);
  MutexHold hold(lock_mutext_unanalyzed_domain_list);
  // Checked again under the mutex: answers may add rules meanwhile.
  if (unanalyzed_domain_list.size() >= kMaxPendingDomainRules) {
    k::kfree(e);
    return ENOSPC;
  }
  unanalyzed_domain_list.push_front(e);
  return 0;
}

errno_t add_to_dns_rule_list(uint32_t server, const char* text) {
  const char* b = text;
  while (*b == ' ' || *b == '\t') ++b;
  const char* e = b;
  while (*e && *e != ' ' && *e != '\t') ++e;
  if (e == b) return EINVAL;
  dns_labels labels;
  errno_t r = split_labels(b, static_cast<size_t>(e - b), &labels);
  if (r) return r;
  if (dns_rule_count() >= kMaxDnsRules) return ENOSPC;
  auto* entry = static_cast<dns_rule_entry*>(k::kalloc(sizeof(dns_rule_entry)));
  if (!entry) return ENOMEM;
  entry->server = server;
  entry->labels = labels;
  char name[kMaxLabels * kLabelSize];
  join_labels(labels, name, sizeof name);
  const auto* s = reinterpret_cast<const uint8_t*>(&server);
  char ip[16];
  std::snprintf(ip, sizeof ip, "%u.%u.%u.%u", s[0], s[1], s[2], s[3]);
  klog("+D [%s]  [%s]", name, ip);
  MutexHold hold(lock_mutext_dns_rule_list);
  if (dns_rule_list.size() >= kMaxDnsRules) {
    k::kfree(entry);
    return ENOSPC;
  }
  dns_rule_list.push_front(entry);
  return 0;
}

uint32_t find_dns_lookup_using_server(const dns_labels& name) {
  MutexHold hold(lock_mutext_dns_rule_list);
  for (auto* e : dns_rule_list)
    if (labels_match(e->labels, name)) return e->server;
  return 0;
}

bool equal_to_unanalyzed_name(const dns_labels& name, pending_match* out) {
  MutexHold hold(lock_mutext_unanalyzed_domain_list);
  for (auto it = unanalyzed_domain_list.begin(); it != unanalyzed_domain_list.end(); ++it) {
    pending_domain_entry* e = *it;
    if (!labels_match(e->labels, name)) continue;
    std::memcpy(out->procname, e->procname, sizeof out->procname);
    std::memcpy(out->rest, e->rest, sizeof out->rest);
    out->kind = e->kind;
    out->offset = e->offset;
    out->level = e->level;
    std::memcpy(out->text, e->text, sizeof out->text);
    bool wildcard = false;
    for (int i = 0; i < e->labels.count; ++i) wildcard |= e->labels.label[i][0] == '*';
    if (!wildcard) {
      unanalyzed_domain_list.erase(it);
      k::kfree(e);
    }
    return true;
  }
  return false;
}

int intercept_ippacket_match_white_list(const abi::ippacket_desc_s* d, uint8_t* offset,
                                        uint8_t* level, char* text) {
  MutexHold hold(lock_mutext_white_rule_list);
  uint16_t port = static_cast<uint16_t>((d->remote_port >> 8) | (d->remote_port << 8));
  for (auto& bucket : white_rule_list) {
    for (auto& r : bucket) {
      if (d->procname[0] ? !procname_match(r.procname, d->procname)
                         : std::strcmp(r.procname, "*") != 0)
        continue;
      if (r.protocol != PROTO_ANY && r.protocol != d->protocol) continue;
      if (!address_in_rule(r, d->ip)) continue;
      if (d->protocol != 1 && (port < r.port_from || port > r.port_to)) continue;
      if (offset) *offset = r.offset;
      if (level) *level = r.level;
      if (text) copy_text(text, 64, r.text, sizeof r.text);
      return 1;
    }
  }
  return 0;
}

int intercept_ippacket_match_black_list(const abi::ippacket_desc_s* d) {
  MutexHold hold(lock_mutext_black_rule_list);
  uint16_t port = static_cast<uint16_t>((d->remote_port >> 8) | (d->remote_port << 8));
  for (auto& r : black_rule_list) {
    if (d->procname[0] && !procname_match(r.procname, d->procname)) continue;
    if (r.protocol != PROTO_ANY && r.protocol != d->protocol) continue;
    if (!address_in_rule(r, d->ip)) continue;
    if (d->protocol == 1 ? !(r.port_from == 0 && r.port_to == 65535)
                         : (port < r.port_from || port > r.port_to))
      continue;
    return 1;
  }
  return 0;
}

bool procname_match(const char* entry, const char* name) {
  if (std::strcmp(entry, "*") == 0) return true;
  return equal_nocase(entry, name, 24);
}

bool enabled_procname_exist(const char* name) {
  {
    MutexHold hold(lock_mutext_black_procname_list);
    if (name_covered(black_procname_list, name)) return false;
  }
  MutexHold hold(lock_mutext_enabled_procname);
  return name_covered(enabled_procname_list, name);
}

errno_t enabled_procname_add(const char* name) {
  // Black-listed names are still recorded: they count again once no longer black.
  MutexHold hold(lock_mutext_enabled_procname);
  return name_add(enabled_procname_list, name, kMaxProcnames);
}

errno_t black_procname_add(const char* name) {
  MutexHold hold(lock_mutext_black_procname_list);
  return name_add(black_procname_list, name, kMaxProcnames);
}

errno_t add_black_procname(const char* name) { return black_procname_add(name); }

void procname_lists_clear() {
  {
    MutexHold hold(lock_mutext_enabled_procname);
    name_clear(enabled_procname_list);
  }
  MutexHold hold(lock_mutext_black_procname_list);
  name_clear(black_procname_list);
}

void rule_lists_clear() {
  // The only nesting of the filter: white first, then black.
  MutexHold white(lock_mutext_white_rule_list);
  MutexHold black(lock_mutext_black_rule_list);
  for (auto& bucket : white_rule_list) bucket.clear();
  white_rule_total = 0;
  black_rule_list.clear();
  white_rule_keys.clear();
  black_rule_keys.clear();
}

void unanalyzed_domain_list_clear() {
  MutexHold hold(lock_mutext_unanalyzed_domain_list);
  for (auto* e : unanalyzed_domain_list) k::kfree(e);
  unanalyzed_domain_list.clear();
}

void dns_rule_list_clear() {
  MutexHold hold(lock_mutext_dns_rule_list);
  for (auto* e : dns_rule_list) k::kfree(e);
  dns_rule_list.clear();
}

std::vector<rule_entry> white_rules_snapshot() {
  MutexHold hold(lock_mutext_white_rule_list);
  std::vector<rule_entry> out;
  out.reserve(white_rule_total);
  for (auto& bucket : white_rule_list) out.insert(out.end(), bucket.begin(), bucket.end());
  return out;
}
std::vector<rule_entry> black_rules_snapshot() {
  MutexHold hold(lock_mutext_black_rule_list);
  return {black_rule_list.begin(), black_rule_list.end()};
}
std::vector<std::string> enabled_procnames_snapshot() {
  MutexHold hold(lock_mutext_enabled_procname);
  return {enabled_procname_list.order.begin(), enabled_procname_list.order.end()};
}

size_t enabled_procname_count() {
  MutexHold hold(lock_mutext_enabled_procname);
  return enabled_procname_list.order.size();
}
size_t black_procname_count() {
  MutexHold hold(lock_mutext_black_procname_list);
  return black_procname_list.order.size();
}
size_t white_rule_count() {
  MutexHold hold(lock_mutext_white_rule_list);
  return white_rule_total;
}
size_t black_rule_count() {
  MutexHold hold(lock_mutext_black_rule_list);
  return black_rule_list.size();
}
size_t unanalyzed_domain_count() {
  MutexHold hold(lock_mutext_unanalyzed_domain_list);
  return unanalyzed_domain_list.size();
}
size_t dns_rule_count() {
  MutexHold hold(lock_mutext_dns_rule_list);
  return dns_rule_list.size();
}

}  // namespace tamsel
