#pragma once

// The rule kit's functions. Each takes the state it works on explicitly: the rule lists
// (RuleSet), the learned address-to-domain table (DomainTable), the memory of redirected DNS
// queries (DnsRedirectTable) and the area/ISP database (IpDatabase).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Brevant/DnsRedirectTable.h"
#include "Brevant/DomainTable.h"
#include "Brevant/IpDatabase.h"
#include "Brevant/Records.h"
#include "Brevant/RuleSet.h"

namespace brevant {

// Session record of one IPv4 packet; direction is kDirectionOutgoing or kDirectionIncoming.
// A DNS query is UDP to port 53 with QR 0 when outgoing, a DNS answer UDP from port 53 with
// QR 1 when incoming; its domain is the question name. Other packets take the learned domain
// of their destination (domains may be null). Area and ISP ids are left 0 for the caller.
// Returns false, with record.parsed false, for a packet that does not pass the checks.
bool get_ip_session_info(const DomainTable* domains, ip_session_info& record,
                         std::span<const uint8_t> packet, int direction);

// First rule in matching order that matches; it is copied to *matched when not null.
bool is_session_match_black_rule(const RuleSet& rules, const ip_session_info& session,
                                 traffic_rule* matched);
bool is_session_match_white_rule(const RuleSet& rules, const ip_session_info& session,
                                 traffic_rule* matched);
bool is_domain_match_dns_rule(const RuleSet& rules, std::string_view domain, dns_rule* matched);
// The same answer as the two above by walking list in order, without the index.
bool first_match_walk(const std::deque<traffic_rule>& list, const ip_session_info& session,
                      traffic_rule* matched);

// One traffic rule against one session, and one rule domain against one name.
bool traffic_rule_matches(const traffic_rule& rule, const ip_session_info& session);
bool domain_matches(std::string_view rule_domain, std::string_view name);

traffic_rule init_all_matched_traffic_rule();

// "a.b.c.d", "a.b.c.d/n" (n 0..32) or "a.b.c.d-e.f.g.h" (first <= last); false otherwise,
// leaving range unchanged.
bool set_ip_mask_range_with_str(ip_mask_range& range, std::string_view text);

// Port text of a rule: "*", "0" and "" mean any port; "n" gives n..n; "a-b" gives a..b when
// a <= b and any port otherwise. Numbers outside 1..65535 or text that is not a number give
// any port, are logged, and return false.
bool set_port_range_with_str(traffic_rule& rule, std::string_view text);

// Domain as given (the caller strips "*."), cut at 255 bytes; nullopt when server is not a
// dotted IPv4 address.
std::optional<dns_rule> init_dns_rule(std::string_view domain, std::string_view server);

void add_dns_rule(RuleSet& rules, dns_rule rule);
void add_black_rule(RuleSet& rules, traffic_rule rule);
void add_white_rule(RuleSet& rules, traffic_rule rule);

// Readable one-line texts for logs, at most 255 bytes.
std::string dns_rule_string(const dns_rule& rule);
std::string traffic_rule_string(const traffic_rule& rule);

// Re-addresses an outgoing DNS query to server (host order) in place, fixes its checksums
// and remembers the original destination. False, bytes unchanged, when it is no DNS query.
bool process_dns_query_packet(DnsRedirectTable& redirects, uint32_t server,
                              std::span<uint8_t> packet);

// Makes an incoming DNS answer ready for the game in place: with restore_source set, an
// answer to a redirected query gets the query's original destination back as its source
// (unchanged without a remembered query), and checksums are fixed; the answer's addresses
// are learned. False, bytes unchanged, when it is no DNS answer.
bool process_dns_answer_packet(DnsRedirectTable& redirects, DomainTable& domains,
                               std::span<uint8_t> packet, int restore_source);

// Learns the IPv4 addresses of a DNS answer packet under its question name, following the
// CNAME chain from that name. Returns the number of addresses learned; a bad message
// learns nothing.
size_t record_ip_to_domain_from_dns_answer_packet(DomainTable& domains,
                                                  std::span<const uint8_t> packet);

std::string domain_of_ip(const DomainTable& domains, uint32_t addr);

}  // namespace brevant
