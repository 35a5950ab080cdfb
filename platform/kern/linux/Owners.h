// Who owns a flow seen at the output queue: the socket (by sock_diag) and its process (by /proc).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::kern::linux_backend {

struct FlowKey {
  uint8_t protocol;      // IPPROTO_TCP, IPPROTO_UDP, IPPROTO_ICMP (ping sockets: the echo id)
  uint32_t local_addr;   // network order
  uint16_t local_port;   // host order
  uint32_t remote_addr;  // network order
  uint16_t remote_port;  // host order
};

struct SocketIdentity {
  uint64_t cookie = 0;  // the socket's identity for its whole life
  uint64_t inode = 0;
  bool connected = false;  // has a peer address
};

// false when no socket matches (gone, or never ours to see): the flow is then not attached.
bool find_socket(const FlowKey& key, SocketIdentity* out);
// The process holding socket `inode`, or 0. Processes named in `names_first` are looked at first.
pid_t find_owner(uint64_t inode, const std::string& names_first = "");
// The name the filter matches: the executable's base name (not the 15-byte comm, so longer names
// match), less " (deleted)", cut to 31 bytes; comm when the executable can't be read.
std::string process_name(pid_t pid);
// Ping sockets and raw ICMP sockets, from /proc/net/icmp and /proc/net/raw.
bool find_ping_socket(uint16_t echo_id, SocketIdentity* out);

// The round-trip time of a TCP connection as the kernel keeps it (tcp_info).
struct TcpTimes {
  uint32_t srtt_us = 0;  // smoothed
};
// By the exact 4-tuple; false when the connection is gone.
bool tcp_times(const FlowKey& key, TcpTimes* out);
// One sock_diag answer (an inet_diag_msg and its attributes, `len` bytes): the INET_DIAG_INFO
// attribute's round-trip time. false for a short or malformed answer, or one without the attribute.
bool tcp_info_from_answer(const char* data, size_t len, TcpTimes* out);

// Parsers of /proc/net tables, bounded and exposed for tests: the inode of the entry whose
// local port (the echo id for ping sockets) is `port`, or 0.
uint64_t proc_net_inode_for_port(const std::string& table, uint16_t port);

}  // namespace platform::kern::linux_backend
