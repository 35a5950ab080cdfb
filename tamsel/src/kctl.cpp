// The control channel: one client, socket options in, records out.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "rules.h"
#include "tamsel_internal.h"

namespace tamsel {

volatile int32_t g_attached_count = 0;
k::kern_ctl_ref ctl_ref = nullptr;
std::atomic<uint32_t> ctl_context{0};

namespace {

// Remembered by get-option 6000 as the bound of 6010's index.
int32_t rundata_count_bound = 0;

constexpr size_t kRecordText = 1020;

}  // namespace

void klog(const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  char line[1024 + sizeof abi::kControlName + 2];
  std::snprintf(line, sizeof line, "%s %s\n", abi::kControlName, text);
  k::kern_log_line(line);
}

static void enqueue_record(uint32_t type, const void* bytes, size_t length) {
  if (k::OSAddAtomic(0, &g_attached_count) != 1) return;
  uint8_t buf[4 + 1024];
  uint8_t* rec = buf;
  uint8_t* heap = nullptr;
  if (length + 4 > sizeof buf) {
    heap = static_cast<uint8_t*>(k::kalloc(length + 4));
    if (!heap) return;
    rec = heap;
  }
  std::memcpy(rec, &type, 4);
  std::memcpy(rec + 4, bytes, length);
  // The client may have left while the record was built.
  if (k::OSAddAtomic(0, &g_attached_count) == 1) {
    // A full receive queue loses the record; nothing else is affected.
    k::ctl_enqueuedata(ctl_ref, ctl_context.load(), rec, length + 4, k::CTL_DATA_EOR);
  }
  if (heap) k::kfree(heap);
}

void kctl_send2usr(uint32_t type, const char* fmt, ...) {
  if (k::OSAddAtomic(0, &g_attached_count) != 1) return;
  char text[kRecordText];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  size_t len = std::strlen(text);  // at most 1019
  if (len == 0) return;
  enqueue_record(type, text, len);
}

void kctl_send2user_bin(uint32_t type, const void* bytes, size_t length) {
  if (length == 0 || !bytes) return;
  enqueue_record(type, bytes, length);
}

errno_t connect_func(k::kern_ctl_ref, const k::sockaddr_ctl* sac, void** unitinfo) {
  if (k::OSAddAtomic(1, &g_attached_count) != 0) {
    k::OSAddAtomic(-1, &g_attached_count);
    klog("ctl is occupied by previously attatched client, current connection will be refused");
    return ECONNREFUSED;
  }
  ctl_context.store(sac->sc_unit);
  // The context marks the connection as accepted; a refused one has none.
  *unitinfo = &ctl_context;
  klog("----------------%s %s--------------------", __DATE__, __TIME__);
  return 0;
}

errno_t disconnect_func(k::kern_ctl_ref, uint32_t, void* unitinfo) {
  if (!unitinfo) return 0;
  reset_all_context();
  k::OSAddAtomic(-1, &g_attached_count);
  return 0;
}

errno_t send_func(k::kern_ctl_ref, uint32_t, void*, const void*, size_t, int) { return 0; }

static errno_t opt_vni_base(const void* data, size_t len) {
  if (!data || len != 4) return EINVAL;
  int32_t v;
  std::memcpy(&v, data, 4);
  vni.store(v);
  klog("gelmora VNI_BASE %d (0x%x)", v, static_cast<uint32_t>(v));
  // The value is kept whatever it is; values outside 0..0xEFFFFFF0 only get a warning.
  if (v < 0) klog("warning: VNI_BASE %d outside 0..%u", v, 0xEFFFFFF0u);
  return 0;
}

static errno_t opt_dns_rule(const void* data, size_t len) {
  if (!data || len != sizeof(abi::dns_rule_config)) return EINVAL;
  abi::dns_rule_config c;
  std::memcpy(&c, data, sizeof c);
  // Texts are not trusted to end in NUL: each field ends at its last byte.
  c.server[sizeof c.server - 1] = 0;
  c.domains[sizeof c.domains - 1] = 0;
  uint32_t ip;
  if (!parse_dotted_ipv4(c.server, &ip)) return EINVAL;
  if (c.domains[0] == 0) return EINVAL;
  return add_to_dns_rule_list(ip, c.domains);
}

static errno_t opt_black_rule(const void* data, size_t len) {
  if (!data || len == 0 || len > abi::kMaxRuleText) return E2BIG;
  char text[abi::kMaxRuleText + 1];
  std::memcpy(text, data, len);
  text[len] = 0;
  return add_rule(RULE_KIND_BLACK, 0, 0, text, nullptr);
}

static errno_t opt_white_rule(const void* data, size_t len) {
  if (!data || len != sizeof(abi::white_rule_config)) return EINVAL;
  abi::white_rule_config c;
  std::memcpy(&c, data, sizeof c);
  if (c.offset < 0 || c.offset >= abi::kPathOffsetCount || c.level < 0) return EINVAL;
  c.rule[sizeof c.rule - 1] = 0;
  return add_rule(RULE_KIND_WHITE, c.offset, c.level, c.rule, nullptr);
}

static errno_t opt_black_procname(const void* data, size_t len) {
  if (!data || len == 0 || len > abi::kMaxRuleText) return E2BIG;
  if (len > abi::kMaxProcname) return EINVAL;
  char name[abi::kMaxProcname + 1];
  std::memcpy(name, data, len);
  name[len] = 0;
  return add_black_procname(name);
}

// The checks every 4000 and 4032 payload must pass before any socket work.
static errno_t check_vni_off_entry(const void* data, size_t len, abi::vni_off_entry* e) {
  if (!data || len != sizeof(abi::vni_off_entry)) return EINVAL;
  std::memcpy(e, data, sizeof *e);
  e->entrance_ip[sizeof e->entrance_ip - 1] = 0;
  e->exit_nat[sizeof e->exit_nat - 1] = 0;
  uint32_t ip;
  if (!parse_dotted_ipv4(e->entrance_ip, &ip)) return EINVAL;
  if (e->port < 1 || e->port > 65535) return EINVAL;
  if (e->offset < 0 || e->offset >= abi::kPathOffsetCount) return EINVAL;
  return 0;
}

static errno_t opt_edns_server(const void* data, size_t len) {
  if (!data || len != 4) return EINVAL;
  uint32_t ip;
  std::memcpy(&ip, data, 4);
  int32_t n = edns_server_count.load();
  if (n >= kEdnsServerMax) {
    // Still answered 0: the client treats the table as best effort.
    klog("edns server table full (%d), %u.%u.%u.%u dropped", n, ip & 0xff, (ip >> 8) & 0xff,
         (ip >> 16) & 0xff, ip >> 24);
    return 0;
  }
  edns_server[n].store(ip);
  edns_server_count.store(n + 1);
  return 0;
}

errno_t setopt_func(k::kern_ctl_ref, uint32_t, void*, int opt, const void* data, size_t len) {
  abi::vni_off_entry e;
  errno_t r;
  switch (opt) {
    case abi::KCTL_SET_VNI_BASE:
      return opt_vni_base(data, len);
    case abi::KCTL_SET_DNS_RULE_FOR_SRV:
      return opt_dns_rule(data, len);
    case abi::KCTL_ADD_BLACK_RULE:
      return opt_black_rule(data, len);
    case abi::KCTL_ADD_WHITE_RULE:
      return opt_white_rule(data, len);
    case abi::KCTL_ADD_BLACK_PROCNAME:
      return opt_black_procname(data, len);
    case abi::KCTL_ENABLE_INTERCEPT_TCP:
      switch_on(&AVintercept_tcp);
      return 0;
    case abi::KCTL_ENABLE_INTERCEPT_UDP:
      switch_on(&AVintercept_udp);
      return 0;
    case abi::KCTL_ENABLE_INTERCEPT_ICMP:
      switch_on(&AVintercept_icmp);
      return 0;
    case abi::KCTL_ENABLE_INTERCEPT_DNS:
      switch_on(&AVintercept_dns);
      return 0;
    case abi::KCTL_ENABLE_REDUCE_TCP_MSS:
      switch_on(&AVreduce_tcp_mss);
      return 0;
    case abi::KCTL_ENABLE_INTERCEPT:
      switch_on(&AVintercept);
      return 0;
    case abi::KCTL_DISABLE_INTERCEPT:
      switch_off(&AVintercept);
      return 0;
    case abi::KCTL_SET_VNI_OFF_ENTRY:
      if ((r = check_vni_off_entry(data, len, &e))) return r;
      return set_vni_off_entry(e);
    case abi::KCTL_UPDATE_ENTRANCE_SERVER:
      if ((r = check_vni_off_entry(data, len, &e))) return r;
      return update_entrance_server(e);
    case abi::KCTL_SET_CLIENT_IP: {
      if (!data || len != 4) return EINVAL;
      uint32_t ip;
      std::memcpy(&ip, data, 4);
      client_ip.store(ip);
      return 0;
    }
    case abi::KCTL_SET_EDNS_SERVER:
      return opt_edns_server(data, len);
    case abi::KCTL_UPDATE_STREAMLIMIT: {
      if (!data || len < 4) return EINVAL;
      uint32_t limit;
      std::memcpy(&limit, data, 4);
      update_streamlimit(limit);
      return 0;
    }
    default:
      return EINVAL;
  }
}

errno_t getopt_func(k::kern_ctl_ref, uint32_t, void*, int opt, void* data, size_t* len) {
  switch (opt) {
    case abi::KCTL_GET_RUNDATA_COUNT: {
      if (!data || !len || *len != 4) return EINVAL;
      int32_t v;
      std::memcpy(&v, data, 4);
      MutexHold hold(lock_mutext_rundata);
      // The run-data list is never filled: the value comes back as it went in.
      v += 0;
      rundata_count_bound = v;
      std::memcpy(data, &v, 4);
      return 0;
    }
    case abi::KCTL_GET_RUNDATA_INFO: {
      if (!data || !len || *len != abi::kRundataInfoSize) return EINVAL;
      int32_t index;
      std::memcpy(&index, data, 4);
      MutexHold hold(lock_mutext_rundata);
      if (index < 0 || index >= rundata_count_bound) return EINVAL;
      return EINVAL;  // no entry exists at any index
    }
    default:
      return EINVAL;
  }
}

}  // namespace tamsel
