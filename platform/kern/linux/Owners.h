// Who owns a flow seen at the output queue: the socket (by sock_diag) and its process (by /proc).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
  uid_t uid = 0;           // the user the socket belongs to (who made it)
};

// false when no socket matches (gone, or never ours to see): the flow is then not attached.
bool find_socket(const FlowKey& key, SocketIdentity* out);

// Which processes an owner lookup reads: those whose name is listed (compared as the filter
// compares names), and every process only when "*" is listed or no list is given.
struct OwnerScope {
  bool all = true;
  std::vector<std::string> names;
  static OwnerScope from_names(std::vector<std::string> listed);
  bool admits(const std::string& process) const;
};
// The process holding socket `inode` within `scope`, or 0. With `uid` given, only processes
// running as that user are looked at (the holder of a socket is, but for a descriptor passed on,
// the user who made it).
inline constexpr uid_t kAnyUid = static_cast<uid_t>(-1);
pid_t find_owner(uint64_t inode, const OwnerScope& scope = {}, uid_t uid = kAnyUid);
// Whether the process runs as `uid` (its real or effective user, from /proc/<pid>/status).
bool runs_as(pid_t pid, uid_t uid);
// The real and effective user of a NUL-terminated /proc/<pid>/status text; false without them.
bool status_uids(const char* status, uid_t* real, uid_t* effective);
// The name the filter matches: the executable's base name (not the 15-byte comm, so longer names
// match), less " (deleted)", cut to 31 bytes; comm when the executable can't be read.
std::string process_name(pid_t pid);
// The base name of argv[0] in `len` bytes of /proc/<pid>/cmdline ('/' and '\\' both separate
// folders), cut to 31 bytes; empty when there is none.
std::string argv0_name(const char* cmdline, size_t len);
// The name under which `scope` lists the process: the executable's base name, else argv[0]'s (a
// game started through a loader or a compatibility layer); empty when neither is listed.
std::string listed_name(pid_t pid, const OwnerScope& scope);
// Ping sockets, from /proc/net/icmp, by their echo id.
bool find_ping_socket(uint16_t echo_id, SocketIdentity* out);
// Raw ICMP sockets have no id of their own: the one raw ICMP socket held by a process in scope,
// else the one whose holder's pid is the echo id (as ping programs choose it), else none.
bool find_raw_icmp_socket(uint16_t echo_id, const OwnerScope& scope, SocketIdentity* out,
                          pid_t* owner, uid_t uid = kAnyUid);
// Ping and raw ICMP sockets have no diag cookie: their inode, marked, stands in for one.
inline uint64_t icmp_cookie(uint64_t inode) { return inode | (1ull << 63); }
// The inodes of every ping socket and raw ICMP socket now open.
std::vector<uint64_t> icmp_socket_inodes();

// The round-trip time of a TCP connection as the kernel keeps it (tcp_info).
struct TcpTimes {
  uint32_t srtt_us = 0;  // smoothed
};
// By the exact 4-tuple; false when the connection is gone.
bool tcp_times(const FlowKey& key, TcpTimes* out);
// One sock_diag answer (an inet_diag_msg and its attributes, `len` bytes): the INET_DIAG_INFO
// attribute's round-trip time. false for a short or malformed answer, or one without the attribute.
bool tcp_info_from_answer(const char* data, size_t len, TcpTimes* out);

// One socket as a sock_diag answer or destroy event describes it.
struct DiagSocket {
  FlowKey key{};  // seen from the socket: local = its own address
  uint64_t cookie = 0;
  uint64_t inode = 0;
  uid_t uid = 0;
  uint8_t state = 0;      // the kernel's TCP state numbers (UDP: 7 unconnected, 1 connected)
  bool has_info = false;  // a tcp_info came with it
  uint32_t srtt_us = 0;
  bool has_bytes = false;       // the info is recent enough to count bytes
  uint64_t bytes_sent = 0;      // data bytes, retransmissions not counted again
  uint64_t bytes_received = 0;  // data bytes and the peer's FIN (one sequence number)
};
// One answer (`len` bytes: an inet_diag_msg and its attributes). false when shorter than the
// message head or when an attribute runs past the end.
bool parse_diag_answer(const char* data, size_t len, uint8_t protocol, DiagSocket* out);
// Every socket message in one netlink datagram of `len` bytes, in order; returns false when the
// datagram ends the exchange (done or error) and true when more may follow.
bool parse_diag_datagram(const char* data, size_t len, uint8_t protocol,
                         const std::function<void(const DiagSocket&)>& take);
// The state, times and byte counts of one TCP connection by its exact tuple.
bool tcp_lookup(const FlowKey& key, DiagSocket* out);
// Every IPv4 socket of `protocol` (TCP or UDP) now open; false when the dump failed.
bool dump_sockets(uint8_t protocol, const std::function<void(const DiagSocket&)>& take);

// Sockets as they close, from sock_diag's destroy groups (TCP and UDP over IPv4).
class DestroyEvents {
 public:
  DestroyEvents() = default;
  ~DestroyEvents();
  DestroyEvents(const DestroyEvents&) = delete;
  DestroyEvents& operator=(const DestroyEvents&) = delete;
  int open();  // 0 or an errno (the groups need CAP_NET_ADMIN)
  void close();
  int fd() const { return fd_; }
  // Reads every waiting event without blocking; false when the kernel dropped some (the
  // caller then checks its sockets against a dump).
  bool read(const std::function<void(const DiagSocket&)>& take);

 private:
  int fd_ = -1;
};

// Parsers of /proc/net tables, bounded and exposed for tests: the inode of the entry whose
// local port (the echo id for ping sockets) is `port`, or 0; its user in *uid when asked.
uint64_t proc_net_inode_for_port(const std::string& table, uint16_t port, uid_t* uid = nullptr);
// Every entry's inode whose local port is `port` (raw sockets: the protocol number), with its
// user.
std::vector<uint64_t> proc_net_inodes_for_port(const std::string& table, uint16_t port,
                                               std::vector<uid_t>* uids = nullptr);
// Every entry's inode.
std::vector<uint64_t> proc_net_inodes(const std::string& table);

}  // namespace platform::kern::linux_backend
