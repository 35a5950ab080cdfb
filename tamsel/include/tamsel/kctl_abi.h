// Wire layout of the filter's control channel: option numbers, option payloads and records.
// Shared by the filter and its client; every integer is little-endian unless marked network order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsel::abi {

// Name of the control; also the filter's identifier and log prefix.
inline constexpr char kControlName[] = "cn.pelmoor.tamsel";
inline constexpr char kVersion[] = "1.0.0d1";
// Every option is issued at the control's own level.
inline constexpr int kOptionLevel = 2;

enum : int {
  KCTL_SET_VNI_BASE = 1000,
  KCTL_SET_DNS_RULE_FOR_SRV = 2010,
  KCTL_ADD_BLACK_RULE = 2020,
  KCTL_ADD_WHITE_RULE = 2030,
  KCTL_ADD_BLACK_PROCNAME = 2040,
  KCTL_ENABLE_INTERCEPT_TCP = 3001,
  KCTL_ENABLE_INTERCEPT_UDP = 3002,
  KCTL_ENABLE_INTERCEPT_ICMP = 3003,
  KCTL_ENABLE_INTERCEPT_DNS = 3004,
  KCTL_ENABLE_REDUCE_TCP_MSS = 3005,
  KCTL_ENABLE_INTERCEPT = 3998,
  KCTL_DISABLE_INTERCEPT = 3999,
  KCTL_SET_VNI_OFF_ENTRY = 4000,
  KCTL_SET_CLIENT_IP = 4020,
  KCTL_SET_EDNS_SERVER = 4021,
  KCTL_UPDATE_STREAMLIMIT = 4031,
  KCTL_UPDATE_ENTRANCE_SERVER = 4032,
  KCTL_GET_RUNDATA_COUNT = 6000,
  KCTL_GET_RUNDATA_INFO = 6010,
};

// Record types (u32 at the start of every record).
enum : uint32_t {
  K2U_LOG = 1,
  K2U_REQ_PATH = 2,
  K2U_IPPACKET = 3,
};

inline constexpr int kPathOffsetCount = 17;   // offsets 0..16
inline constexpr size_t kMaxLogText = 1019;   // text of a type-1 record
inline constexpr size_t kMaxRuleText = 1024;  // option 2020
inline constexpr size_t kMaxProcname = 23;    // option 2040
inline constexpr size_t kRundataInfoSize = 620;

// Direction of a type-3 record.
enum : char { K2U_DIR_IN = 1, K2U_DIR_OUT = 2 };

struct white_rule_config {
  int32_t offset;
  int32_t level;
  char rule[256];
};

struct dns_rule_config {
  char server[16];
  char domains[256];
};

struct vni_off_entry {
  int32_t offset;
  char entrance_ip[16];
  int32_t port;
  uint32_t exit;
  char exit_nat[24];
  uint32_t stream_limit;
};

struct k2u_req_path {
  uint32_t offset;
  uint32_t level;
  uint32_t ip;  // network order
  char domain[64];
};

struct ippacket_desc_s {
  uint32_t ip;           // network order
  uint16_t remote_port;  // network order
  uint16_t protocol;
  uint16_t local_port;  // network order; ICMP: echo identifier as it stands
  uint8_t offset;
  uint8_t level;
  uint16_t length;
  char procname[24];
  char text[64];
  uint8_t pad[2];
};

struct k2u_ippacket_desc {
  ippacket_desc_s desc;
  char domain[64];
  char direction;
  uint8_t pad[3];
};

static_assert(sizeof(white_rule_config) == 264);
static_assert(offsetof(white_rule_config, offset) == 0);
static_assert(offsetof(white_rule_config, level) == 4);
static_assert(offsetof(white_rule_config, rule) == 8);

static_assert(sizeof(dns_rule_config) == 272);
static_assert(offsetof(dns_rule_config, server) == 0);
static_assert(offsetof(dns_rule_config, domains) == 16);

static_assert(sizeof(vni_off_entry) == 56);
static_assert(offsetof(vni_off_entry, offset) == 0);
static_assert(offsetof(vni_off_entry, entrance_ip) == 4);
static_assert(offsetof(vni_off_entry, port) == 20);
static_assert(offsetof(vni_off_entry, exit) == 24);
static_assert(offsetof(vni_off_entry, exit_nat) == 28);
static_assert(offsetof(vni_off_entry, stream_limit) == 52);

static_assert(sizeof(k2u_req_path) == 76);
static_assert(offsetof(k2u_req_path, offset) == 0);
static_assert(offsetof(k2u_req_path, level) == 4);
static_assert(offsetof(k2u_req_path, ip) == 8);
static_assert(offsetof(k2u_req_path, domain) == 12);

static_assert(sizeof(ippacket_desc_s) == 104);
static_assert(offsetof(ippacket_desc_s, ip) == 0);
static_assert(offsetof(ippacket_desc_s, remote_port) == 4);
static_assert(offsetof(ippacket_desc_s, protocol) == 6);
static_assert(offsetof(ippacket_desc_s, local_port) == 8);
static_assert(offsetof(ippacket_desc_s, offset) == 10);
static_assert(offsetof(ippacket_desc_s, level) == 11);
static_assert(offsetof(ippacket_desc_s, length) == 12);
static_assert(offsetof(ippacket_desc_s, procname) == 14);
static_assert(offsetof(ippacket_desc_s, text) == 38);
static_assert(offsetof(ippacket_desc_s, pad) == 102);

static_assert(sizeof(k2u_ippacket_desc) == 172);
static_assert(offsetof(k2u_ippacket_desc, desc) == 0);
static_assert(offsetof(k2u_ippacket_desc, domain) == 104);
static_assert(offsetof(k2u_ippacket_desc, direction) == 168);
static_assert(offsetof(k2u_ippacket_desc, pad) == 169);

}  // namespace tamsel::abi
