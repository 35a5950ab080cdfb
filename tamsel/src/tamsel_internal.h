// State and functions shared by the files of the filter core. One file per concern: control
// options (kctl), lifecycle and reset, rules, flow selection, data path, DNS.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/kern/kern.h"
#include "tamsel/kctl_abi.h"

namespace tamsel {

namespace k = platform::kern;
using k::errno_t;

// ---- client slot (kctl.cpp)
extern volatile int32_t g_attached_count;
extern k::kern_ctl_ref ctl_ref;
extern std::atomic<uint32_t> ctl_context;

// ---- switches and counters: atomic words (flow.cpp)
extern volatile int32_t AVintercept;
extern volatile int32_t AVintercept_tcp;
extern volatile int32_t AVintercept_udp;
extern volatile int32_t AVintercept_icmp;
extern volatile int32_t AVintercept_dns;
extern volatile int32_t AVreduce_tcp_mss;
extern volatile int32_t global_socket_id;

inline bool switch_is_on(volatile int32_t* sw) { return k::OSAddAtomic(0, sw) == 1; }
inline void switch_on(volatile int32_t* sw) { k::OSCompareAndSwap(0, 1, sw); }
inline void switch_off(volatile int32_t* sw) { k::OSCompareAndSwap(1, 0, sw); }

// ---- locks (lifecycle.cpp)
extern k::lck_grp* lock_group;
extern k::lck_mtx* lock_mutext_something;
extern k::lck_mtx* lock_mutext_enabled_procname;
extern k::lck_mtx* lock_mutext_black_procname_list;
extern k::lck_mtx* lock_mutext_intercept_ippacket;
extern k::lck_mtx* lock_mutext_undetached_so_list;
extern k::lck_mtx* lock_mutext_black_rule_list;
extern k::lck_mtx* lock_mutext_white_rule_list;
extern k::lck_mtx* lock_mutext_unanalyzed_domain_list;
extern k::lck_mtx* lock_mutext_server_socks;
extern k::lck_mtx* lock_mutext_dns_rule_list;
extern k::lck_mtx* lock_mutext_dns_lookup_data;
extern k::lck_mtx* lock_mutext_ip_to_domain_list;
extern k::lck_mtx* lock_mutext_rundata;

// Holds a mutex for one walk or one change.
class MutexHold {
 public:
  explicit MutexHold(k::lck_mtx* m) : m_(m) { k::lck_mtx_lock(m_); }
  ~MutexHold() { k::lck_mtx_unlock(m_); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

 private:
  k::lck_mtx* m_;
};

// ---- values kept across resets
extern std::atomic<int32_t> vni;
extern std::atomic<uint32_t> client_ip;  // network order
inline constexpr int kEdnsServerMax = 1024;
extern std::atomic<uint32_t> edns_server[kEdnsServerMax];
extern std::atomic<int32_t> edns_server_count;
extern std::atomic<int32_t> tcp_mss_local_min;
extern std::atomic<int32_t> tcp_rtt_report_interval;

// ---- log and records (kctl.cpp)
void klog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void kctl_send2usr(uint32_t type, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void kctl_send2user_bin(uint32_t type, const void* bytes, size_t length);

errno_t connect_func(k::kern_ctl_ref ref, const k::sockaddr_ctl* sac, void** unitinfo);
errno_t disconnect_func(k::kern_ctl_ref ref, uint32_t unit, void* unitinfo);
errno_t send_func(k::kern_ctl_ref ref, uint32_t unit, void* unitinfo, const void* data, size_t len,
                  int flags);
errno_t setopt_func(k::kern_ctl_ref ref, uint32_t unit, void* unitinfo, int opt, const void* data,
                    size_t len);
errno_t getopt_func(k::kern_ctl_ref ref, uint32_t unit, void* unitinfo, int opt, void* data,
                    size_t* len);

// ---- lifecycle (lifecycle.cpp)
errno_t kext_start();
errno_t kext_end();
void reset_all_context();

// ---- addresses (util.cpp)
// Strict dotted IPv4 text: four decimal octets. Out in network order.
bool parse_dotted_ipv4(const char* text, uint32_t* out);
// First octet 127 or 10, 192.168/16, 172.16/12, or 255.255.255.255 (network order in).
bool is_private_or_loopback(uint32_t ip_net);
// Copies at most size-1 bytes and always ends the copy with NUL.
void copy_text(char* dst, size_t size, const char* src, size_t src_max);

// ---- rules and process names (rules.cpp)
errno_t add_black_procname(const char* name);
bool enabled_procname_exist(const char* name);
void procname_lists_clear();
void rule_lists_clear();
void unanalyzed_domain_list_clear();
void dns_rule_list_clear();
size_t enabled_procname_count();
size_t black_procname_count();
size_t white_rule_count();
size_t black_rule_count();
size_t unanalyzed_domain_count();

// ---- flow selection (flow.cpp)
errno_t register_socket_filters();  // fills the handles it registered
void unregister_socket_filters();
bool wait_filters_unregistered();
void undetached_so_detach_all();
void intercept_ippacket_clear();
size_t undetached_so_count();
size_t intercept_ippacket_count();

int intercept_ippacket_add(abi::ippacket_desc_s* d);
int intercept_ippacket_exist(const abi::ippacket_desc_s* d, uint8_t* offset, uint8_t* level,
                             char* procname /* 24 */, char* text /* 64 */);
void intercept_ippacket_del(const abi::ippacket_desc_s* d);
// "seconds.microseconds" since start, the microseconds always six digits.
void format_elapsed(const struct timeval& start, char* out, size_t size);

// ---- data path (datapath.cpp)
// Wraps the packet into a frame towards the offset's entrance; the caller frees the packet.
void send_original_ip_packet(const uint8_t* packet, size_t len, const abi::ippacket_desc_s& d);
// Applies MSS reduction to a TCP SYN; true when the packet changed.
bool reduce_tcp_mss(uint8_t* packet, size_t len);
void ippacket_report(const abi::ippacket_desc_s& d, char direction);
errno_t set_vni_off_entry(const abi::vni_off_entry& e);
errno_t update_entrance_server(const abi::vni_off_entry& e);
void update_streamlimit(uint32_t limit);
void server_socks_clear();
size_t server_socket_count();
// The last stream limit 4031 set (0: none yet) and the last entrance 4032 accepted ("ip:port",
// empty: none yet), until the state is cleared.
uint32_t last_streamlimit();
void last_entrance_update(char* out, size_t size);

// ---- DNS (dns.cpp)
// True when the query is to go through the tunnel (d then describes it); false: it continues,
// possibly redirected.
bool out_dns_processed(k::mbuf_t m, abi::ippacket_desc_s* d);
void in_dns_packet_process(k::mbuf_t m);
void domain_of_ip(uint32_t ip, char* out, size_t size);
void add_to_ip_to_domain_list(uint32_t ip, const char* name);
void dns_lists_clear();
size_t dns_rule_count();
size_t dns_lookup_data_count();
size_t ip_to_domain_count();

}  // namespace tamsel
