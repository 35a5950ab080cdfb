// Rule language and rule lists: white and black address rules, process names, rules waiting for
// DNS answers and DNS rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tamsel_internal.h"

namespace tamsel {

enum : int { RULE_KIND_BLACK = 100, RULE_KIND_WHITE = 200 };
enum : uint16_t { PROTO_ANY = 65535 };

inline constexpr int kMaxLabels = 16;

// Room of each list: an option that would add beyond it is answered ENOSPC and adds nothing.
// The client sends at most 19,999 black rules; a list of rules costs about 200 bytes an entry,
// one of domain or DNS rules about 1.2 KB.
inline constexpr size_t kMaxWhiteRules = 65536;
inline constexpr size_t kMaxBlackRules = 65536;
inline constexpr size_t kMaxPendingDomainRules = 8192;
inline constexpr size_t kMaxDnsRules = 8192;
inline constexpr size_t kMaxProcnames = 4096;  // each of the two process-name lists
inline constexpr int kLabelSize = 64;

// Labels of a name, top-level label first.
struct dns_labels {
  int count;
  char label[kMaxLabels][kLabelSize];
};

struct rule_entry {
  char procname[24];
  uint8_t from[4];
  uint8_t to[4];
  uint8_t octets;
  uint16_t port_from;
  uint16_t port_to;
  uint16_t protocol;
  uint8_t offset;
  uint8_t level;
  char text[64];
};

// Splits a name at dots (runs count as one) into labels, top-level first: 0, E2BIG (a label of
// 64 characters or more, or more than 16 labels) or EINVAL (no label).
errno_t split_labels(const char* name, size_t len, dns_labels* out);
// The dotted name back, from the first label to the top-level one.
void join_labels(const dns_labels& l, char* out, size_t size);
// The label walk shared by DNS rules and pending domain rules: a rule label beginning with "*"
// matches any label and, as the rule's last label, every longer name; other labels are equal
// without regard to case.
bool labels_match(const dns_labels& rule, const dns_labels& name);

// 0 (also for a duplicate), E2BIG, EINVAL, ENOMEM, or ENOSPC when the rule's list (or, for a
// white rule with a new process name, the name list) is full.
errno_t add_rule(int kind, int32_t offset, int32_t level, const char* text, const char* stored);
errno_t add_to_unanalyzed_domain_list(int kind, int32_t offset, int32_t level, const char* text);
errno_t add_to_dns_rule_list(uint32_t server, const char* text);

// 1 and the rule's offset, level, text (each where given) when a white rule admits the flow.
int intercept_ippacket_match_white_list(const abi::ippacket_desc_s* d, uint8_t* offset,
                                        uint8_t* level, char* text /* 64 */);
int intercept_ippacket_match_black_list(const abi::ippacket_desc_s* d);

bool procname_match(const char* entry, const char* name);
// 0, or ENOSPC when the name is new and its list full.
errno_t enabled_procname_add(const char* name);
errno_t black_procname_add(const char* name);
const char* protocol_string(uint16_t protocol);

// The resolver of the first DNS rule that covers the name (network order), 0 when none.
uint32_t find_dns_lookup_using_server(const dns_labels& name);

// The first pending domain rule that covers the name, copied out; a rule without "*" leaves
// the list.
struct pending_match {
  char procname[24];
  char rest[64];
  int kind;
  uint8_t offset;
  uint8_t level;
  char text[64];
};
bool equal_to_unanalyzed_name(const dns_labels& name, pending_match* out);

// Copies of the lists in their order, for the daemon's tests and reports.
std::vector<rule_entry> white_rules_snapshot();
std::vector<rule_entry> black_rules_snapshot();
std::vector<std::string> enabled_procnames_snapshot();

// Locale-free helpers of the rule reader.
bool looks_like_domain(const char* text);
// Address part: octet count (0..4) or -1.
int convert_address(const char* part, uint8_t out[4]);

}  // namespace tamsel
