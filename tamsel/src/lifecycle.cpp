// Start and stop of the filter, its locks, and the reset that follows every client.
#include <cerrno>
#include <cstring>

#include "tamsel/tamsel.h"
#include "tamsel_internal.h"

namespace tamsel {

k::lck_grp* lock_group = nullptr;
k::lck_mtx* lock_mutext_something = nullptr;
k::lck_mtx* lock_mutext_enabled_procname = nullptr;
k::lck_mtx* lock_mutext_black_procname_list = nullptr;
k::lck_mtx* lock_mutext_intercept_ippacket = nullptr;
k::lck_mtx* lock_mutext_undetached_so_list = nullptr;
k::lck_mtx* lock_mutext_black_rule_list = nullptr;
k::lck_mtx* lock_mutext_white_rule_list = nullptr;
k::lck_mtx* lock_mutext_unanalyzed_domain_list = nullptr;
k::lck_mtx* lock_mutext_server_socks = nullptr;
k::lck_mtx* lock_mutext_dns_rule_list = nullptr;
k::lck_mtx* lock_mutext_dns_lookup_data = nullptr;
k::lck_mtx* lock_mutext_ip_to_domain_list = nullptr;
k::lck_mtx* lock_mutext_rundata = nullptr;

std::atomic<int32_t> vni{0};
std::atomic<uint32_t> client_ip{0x017100cb};  // 203.0.113.1 until the client sets its own
std::atomic<uint32_t> edns_server[kEdnsServerMax];
std::atomic<int32_t> edns_server_count{0};
std::atomic<int32_t> tcp_mss_local_min{1332};
std::atomic<int32_t> tcp_rtt_report_interval{30};

namespace {

bool start_resister_kctl = false;
bool start_alloc_all_locks = false;
bool start_register_all_sflt = false;

struct LockSlot {
  k::lck_mtx** mtx;
  const char* name;
};

// Allocation order of the mutexes.
const LockSlot kLocks[] = {
    {&lock_mutext_something, "lock_mutext_something"},
    {&lock_mutext_enabled_procname, "lock_mutext_enabled_procname"},
    {&lock_mutext_black_procname_list, "lock_mutext_black_procname_list"},
    {&lock_mutext_intercept_ippacket, "lock_mutext_intercept_ippacket"},
    {&lock_mutext_undetached_so_list, "lock_mutext_undetached_so_list"},
    {&lock_mutext_black_rule_list, "lock_mutext_black_rule_list"},
    {&lock_mutext_white_rule_list, "lock_mutext_white_rule_list"},
    {&lock_mutext_unanalyzed_domain_list, "lock_mutext_unanalyzed_domain_list"},
    {&lock_mutext_server_socks, "lock_mutext_server_socks"},
    {&lock_mutext_dns_rule_list, "lock_mutext_dns_rule_list"},
    {&lock_mutext_dns_lookup_data, "lock_mutext_dns_lookup_data"},
    {&lock_mutext_ip_to_domain_list, "lock_mutext_ip_to_domain_list"},
    {&lock_mutext_rundata, "lock_mutext_rundata"},
};

void free_all_locks() {
  for (const auto& slot : kLocks) {
    if (*slot.mtx) k::lck_mtx_free(*slot.mtx, lock_group);
    *slot.mtx = nullptr;
  }
  if (lock_group) k::lck_grp_free(lock_group);
  lock_group = nullptr;
}

bool alloc_all_locks() {
  lock_group = k::lck_grp_alloc(abi::kControlName);
  if (!lock_group) return false;
  for (const auto& slot : kLocks) {
    *slot.mtx = k::lck_mtx_alloc(lock_group, slot.name);
    if (!*slot.mtx) {
      free_all_locks();
      return false;
    }
  }
  return true;
}

// A fresh load starts from these; resets leave them alone.
void init_kept_values() {
  vni.store(0);
  client_ip.store(0x017100cb);
  edns_server_count.store(0);
  tcp_mss_local_min.store(1332);
  tcp_rtt_report_interval.store(30);
}

}  // namespace

errno_t kext_start() {
  init_kept_values();
  k::kern_ctl_reg reg{};
  reg.ctl_name = abi::kControlName;
  reg.ctl_connect = connect_func;
  reg.ctl_disconnect = disconnect_func;
  reg.ctl_send = send_func;
  reg.ctl_setopt = setopt_func;
  reg.ctl_getopt = getopt_func;
  errno_t r = k::ctl_register(&reg, &ctl_ref);
  if (r != 0) {
    klog("ctl_register error\n");
    ctl_ref = nullptr;
    return r;
  }
  start_resister_kctl = true;

  if (!alloc_all_locks()) {
    // Not expected in practice; undo the control so that a failed start leaves nothing.
    klog("lck_mtx_alloc error");
    k::ctl_deregister(ctl_ref);
    ctl_ref = nullptr;
    start_resister_kctl = false;
    return ENOMEM;
  }
  start_alloc_all_locks = true;

  r = register_socket_filters();
  if (r != 0) {
    kext_end();
    return r;
  }
  start_register_all_sflt = true;
  return 0;
}

errno_t kext_end() {
  if (start_resister_kctl) {
    errno_t r = k::ctl_deregister(ctl_ref);
    if (r != 0) return r;  // a client is attached: nothing changes
    start_resister_kctl = false;
    ctl_ref = nullptr;
  }
  if (start_alloc_all_locks) reset_all_context();
  if (start_register_all_sflt) {
    unregister_socket_filters();
    start_register_all_sflt = false;
  }
  // Locks are freed only after every callback that may still take them has run.
  wait_filters_unregistered();
  if (start_alloc_all_locks) {
    free_all_locks();
    start_alloc_all_locks = false;
  }
  return 0;
}

void reset_all_context() {
  // 1. No new socket is filtered and no packet intercepted while the lists empty.
  switch_off(&AVintercept);
  switch_off(&AVintercept_tcp);
  switch_off(&AVintercept_udp);
  switch_off(&AVintercept_dns);
  switch_off(&AVintercept_icmp);
  switch_off(&AVreduce_tcp_mss);
  // 2. Every attached filter leaves its socket; returns once all detach callbacks ran.
  undetached_so_detach_all();
  // 3-6. Each list through its owner.
  procname_lists_clear();
  intercept_ippacket_clear();
  rule_lists_clear();
  unanalyzed_domain_list_clear();
  dns_lists_clear();
  // 7. Server sockets and their table.
  server_socks_clear();
  // 8.
  __atomic_store_n(&global_socket_id, 0, __ATOMIC_SEQ_CST);
}

int tamsel_start() {
  errno_t r = kext_start();
  if (r == 0) klog("Kext Was Born on: %s %s", __DATE__, __TIME__);
  return r;
}

int tamsel_stop() { return kext_end(); }

TamselStats tamsel_stats() {
  TamselStats s{};
  s.attached = k::OSAddAtomic(0, &g_attached_count);
  if (start_alloc_all_locks) {
    s.enabled_procnames = enabled_procname_count();
    s.black_procnames = black_procname_count();
    s.white_rules = white_rule_count();
    s.black_rules = black_rule_count();
    s.unanalyzed_domains = unanalyzed_domain_count();
    s.intercept_entries = intercept_ippacket_count();
    s.undetached_sockets = undetached_so_count();
    s.server_sockets = server_socket_count();
    s.dns_rules = dns_rule_count();
    s.dns_lookups = dns_lookup_data_count();
    s.ip_to_domains = ip_to_domain_count();
    s.stream_limit = last_streamlimit();
    last_entrance_update(s.entrance_update, sizeof s.entrance_update);
  }
  s.intercept = k::OSAddAtomic(0, &AVintercept);
  s.intercept_tcp = k::OSAddAtomic(0, &AVintercept_tcp);
  s.intercept_udp = k::OSAddAtomic(0, &AVintercept_udp);
  s.intercept_icmp = k::OSAddAtomic(0, &AVintercept_icmp);
  s.intercept_dns = k::OSAddAtomic(0, &AVintercept_dns);
  s.reduce_tcp_mss = k::OSAddAtomic(0, &AVreduce_tcp_mss);
  s.vni = vni.load();
  s.client_ip = client_ip.load();
  s.edns_servers = edns_server_count.load();
  s.tcp_mss_local_min = tcp_mss_local_min.load();
  s.global_socket_id = k::OSAddAtomic(0, &global_socket_id);
  return s;
}

}  // namespace tamsel
