// Every control option with short, exact and long payloads, and the answer each must get.
// Shared by the unit test on the simulated control and the test over the real transport.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tamsel/kctl_abi.h"

namespace tamsel::testing {

using namespace abi;

struct OptCase {
  const char* what;
  int opt;
  std::vector<uint8_t> payload;
  int expected;
};

inline std::vector<uint8_t> raw(size_t n, uint8_t fill = 0) {
  return std::vector<uint8_t>(n, fill);
}
template <typename T>
inline std::vector<uint8_t> as_bytes(const T& v) {
  std::vector<uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}
inline std::vector<uint8_t> str(const std::string& s) { return {s.begin(), s.end()}; }

inline std::vector<uint8_t> white(int offset, int level,
                                  const char* rule = "tslgame|1.2.3.4|80|tcp") {
  white_rule_config c{};
  c.offset = offset;
  c.level = level;
  std::strcpy(c.rule, rule);
  return as_bytes(c);
}

inline std::vector<uint8_t> dns(const char* server, const char* domains) {
  dns_rule_config c{};
  std::strcpy(c.server, server);
  std::strcpy(c.domains, domains);
  return as_bytes(c);
}

inline std::vector<uint8_t> entry(int offset, const char* ip, int port) {
  vni_off_entry e{};
  e.offset = offset;
  std::strcpy(e.entrance_ip, ip);
  e.port = port;
  e.exit = 0x10002;
  std::strcpy(e.exit_nat, "bmF0LmV4YW1wbGU=");
  e.stream_limit = 0x00100010;
  return as_bytes(e);
}

inline std::vector<uint8_t> resized(std::vector<uint8_t> v, size_t n) {
  v.resize(n, 'x');
  return v;
}

// The whole option table with short, exact and long payloads and the value checks.
inline std::vector<OptCase> option_table() {
  std::vector<uint8_t> rule1024 = str("tslgame|1.2.3.4|80|tcp");
  rule1024.resize(1024, 0);
  std::vector<uint8_t> unterminated_white = white(0, 0);
  std::memset(unterminated_white.data() + 8, 'a', 256);  // no NUL anywhere in the text
  std::vector<uint8_t> unterminated_dns = dns("8.8.8.8", "");
  std::memset(unterminated_dns.data(), '1', 16);
  std::vector<uint8_t> entry_unterminated = entry(0, "198.51.100.1", 4000);
  std::memset(entry_unterminated.data() + 4, '9', 16);
  return {
      {"vni exact", KCTL_SET_VNI_BASE, raw(4, 1), 0},
      {"vni empty", KCTL_SET_VNI_BASE, {}, EINVAL},
      {"vni short", KCTL_SET_VNI_BASE, raw(3), EINVAL},
      {"vni long", KCTL_SET_VNI_BASE, raw(5), EINVAL},
      {"dns exact", KCTL_SET_DNS_RULE_FOR_SRV, dns("8.8.8.8", "game.example.test"), 0},
      {"dns short", KCTL_SET_DNS_RULE_FOR_SRV, resized(dns("8.8.8.8", "a.test"), 271), EINVAL},
      {"dns long", KCTL_SET_DNS_RULE_FOR_SRV, resized(dns("8.8.8.8", "a.test"), 273), EINVAL},
      {"dns server not dotted", KCTL_SET_DNS_RULE_FOR_SRV, dns("8.8.8", "a.test"), EINVAL},
      {"dns server octet 256", KCTL_SET_DNS_RULE_FOR_SRV, dns("8.8.8.256", "a.test"), EINVAL},
      {"dns server name", KCTL_SET_DNS_RULE_FOR_SRV, dns("resolver", "a.test"), EINVAL},
      {"dns empty domain", KCTL_SET_DNS_RULE_FOR_SRV, dns("8.8.8.8", ""), EINVAL},
      {"dns server unterminated", KCTL_SET_DNS_RULE_FOR_SRV, unterminated_dns, EINVAL},
      {"black rule", KCTL_ADD_BLACK_RULE, str("tslgame|1.2.3.4|80|tcp"), 0},
      {"black rule 1024", KCTL_ADD_BLACK_RULE, rule1024, 0},
      {"black rule empty", KCTL_ADD_BLACK_RULE, {}, E2BIG},
      {"black rule 1025", KCTL_ADD_BLACK_RULE, raw(1025, 'a'), E2BIG},
      {"white exact", KCTL_ADD_WHITE_RULE, white(0, 0), 0},
      {"white offset 16", KCTL_ADD_WHITE_RULE, white(16, 255), 0},
      {"white short", KCTL_ADD_WHITE_RULE, resized(white(0, 0), 263), EINVAL},
      {"white long", KCTL_ADD_WHITE_RULE, resized(white(0, 0), 265), EINVAL},
      {"white offset 17", KCTL_ADD_WHITE_RULE, white(17, 0), EINVAL},
      {"white offset -1", KCTL_ADD_WHITE_RULE, white(-1, 0), EINVAL},
      {"white level -1", KCTL_ADD_WHITE_RULE, white(0, -1), EINVAL},
      {"black procname 1", KCTL_ADD_BLACK_PROCNAME, str("a"), 0},
      {"black procname 23", KCTL_ADD_BLACK_PROCNAME, raw(23, 'p'), 0},
      {"black procname 24", KCTL_ADD_BLACK_PROCNAME, raw(24, 'p'), EINVAL},
      {"black procname 1024", KCTL_ADD_BLACK_PROCNAME, raw(1024, 'p'), EINVAL},
      {"black procname 1025", KCTL_ADD_BLACK_PROCNAME, raw(1025, 'p'), E2BIG},
      {"black procname empty", KCTL_ADD_BLACK_PROCNAME, {}, E2BIG},
      {"tcp on, empty", KCTL_ENABLE_INTERCEPT_TCP, {}, 0},
      {"udp on, 100 bytes", KCTL_ENABLE_INTERCEPT_UDP, raw(100), 0},
      {"icmp on", KCTL_ENABLE_INTERCEPT_ICMP, raw(4), 0},
      {"dns on", KCTL_ENABLE_INTERCEPT_DNS, raw(1), 0},
      {"mss on", KCTL_ENABLE_REDUCE_TCP_MSS, {}, 0},
      {"master on", KCTL_ENABLE_INTERCEPT, {}, 0},
      {"master off", KCTL_DISABLE_INTERCEPT, raw(4), 0},
      {"entry exact", KCTL_SET_VNI_OFF_ENTRY, entry(0, "198.51.100.1", 4000), 0},
      {"entry offset 16 port 65535", KCTL_SET_VNI_OFF_ENTRY, entry(16, "198.51.100.1", 65535), 0},
      {"entry short", KCTL_SET_VNI_OFF_ENTRY, resized(entry(0, "198.51.100.1", 1), 55), EINVAL},
      {"entry long", KCTL_SET_VNI_OFF_ENTRY, resized(entry(0, "198.51.100.1", 1), 57), EINVAL},
      {"entry bad address", KCTL_SET_VNI_OFF_ENTRY, entry(0, "198.51.100", 4000), EINVAL},
      {"entry unterminated address", KCTL_SET_VNI_OFF_ENTRY, entry_unterminated, EINVAL},
      {"entry port 0", KCTL_SET_VNI_OFF_ENTRY, entry(0, "198.51.100.1", 0), EINVAL},
      {"entry port 65536", KCTL_SET_VNI_OFF_ENTRY, entry(0, "198.51.100.1", 65536), EINVAL},
      {"entry offset 17", KCTL_SET_VNI_OFF_ENTRY, entry(17, "198.51.100.1", 1), EINVAL},
      {"entry offset -1", KCTL_SET_VNI_OFF_ENTRY, entry(-1, "198.51.100.1", 1), EINVAL},
      {"client ip", KCTL_SET_CLIENT_IP, raw(4, 7), 0},
      {"client ip short", KCTL_SET_CLIENT_IP, raw(3), EINVAL},
      {"client ip long", KCTL_SET_CLIENT_IP, raw(5), EINVAL},
      {"edns", KCTL_SET_EDNS_SERVER, raw(4, 8), 0},
      {"edns short", KCTL_SET_EDNS_SERVER, raw(3), EINVAL},
      {"edns long", KCTL_SET_EDNS_SERVER, raw(5), EINVAL},
      {"stream limit", KCTL_UPDATE_STREAMLIMIT, raw(4, 1), 0},
      {"stream limit long", KCTL_UPDATE_STREAMLIMIT, raw(8, 1), 0},
      {"stream limit short", KCTL_UPDATE_STREAMLIMIT, raw(3, 1), EINVAL},
      {"move exact", KCTL_UPDATE_ENTRANCE_SERVER, entry(2, "198.51.100.2", 5000), 0},
      {"move short", KCTL_UPDATE_ENTRANCE_SERVER, raw(55), EINVAL},
      {"move long", KCTL_UPDATE_ENTRANCE_SERVER, raw(57), EINVAL},
      {"move bad port", KCTL_UPDATE_ENTRANCE_SERVER, entry(2, "198.51.100.2", -5), EINVAL},
      {"unknown 0", 0, raw(4), EINVAL},
      {"unknown 1001", 1001, raw(4), EINVAL},
      {"get number as set", KCTL_GET_RUNDATA_COUNT, raw(4), EINVAL},
  };
}

}  // namespace tamsel::testing
