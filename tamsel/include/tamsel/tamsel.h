// Entry points of the traffic filter for its host (the daemon or a test).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsel {

// Registers the control, the locks and the filters; 0 or an errno.
int tamsel_start();
// EBUSY while a client is attached (nothing changes then); else 0.
int tamsel_stop();

// Counts and values for the daemon's "stats" answer.
struct TamselStats {
  int32_t attached;
  size_t enabled_procnames, black_procnames, white_rules, black_rules, unanalyzed_domains;
  size_t intercept_entries, undetached_sockets, server_sockets;
  size_t dns_rules, dns_lookups, ip_to_domains;
  int32_t intercept, intercept_tcp, intercept_udp, intercept_icmp, intercept_dns, reduce_tcp_mss;
  int32_t vni;
  uint32_t client_ip;  // network order
  int32_t edns_servers;
  int32_t tcp_mss_local_min;
  int32_t global_socket_id;
  uint32_t stream_limit;     // the last 4031 value, 0 before any
  char entrance_update[24];  // "ip:port" of the last accepted 4032, empty before any
};
TamselStats tamsel_stats();

}  // namespace tamsel
