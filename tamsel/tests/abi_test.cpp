// The control structs laid out byte for byte as the client and the filter exchange them.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tamsel/kctl_abi.h"

using namespace tamsel::abi;

namespace {

template <typename T>
std::vector<uint8_t> bytes_of(const T& v) {
  std::vector<uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

// Golden image: zeros with the given runs written at their offsets.
std::vector<uint8_t> golden(size_t size,
                            std::initializer_list<std::pair<size_t, std::vector<uint8_t>>> runs) {
  std::vector<uint8_t> g(size, 0);
  for (auto& [off, run] : runs) std::memcpy(g.data() + off, run.data(), run.size());
  return g;
}

std::vector<uint8_t> text(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }

TEST(KctlAbi, WhiteRuleConfig) {
  white_rule_config c{};
  c.offset = 16;
  c.level = 0x1234;
  std::strcpy(c.rule, "tslgame|1.2.3.4|80|tcp");
  EXPECT_EQ(bytes_of(c), golden(264, {{0, {16, 0, 0, 0}},
                                      {4, {0x34, 0x12, 0, 0}},
                                      {8, text("tslgame|1.2.3.4|80|tcp")}}));
}

TEST(KctlAbi, DnsRuleConfig) {
  dns_rule_config c{};
  std::strcpy(c.server, "8.8.8.8");
  std::strcpy(c.domains, "*.example.test x");
  EXPECT_EQ(bytes_of(c), golden(272, {{0, text("8.8.8.8")}, {16, text("*.example.test x")}}));
}

TEST(KctlAbi, VniOffEntry) {
  vni_off_entry e{};
  e.offset = 3;
  std::strcpy(e.entrance_ip, "198.51.100.7");
  e.port = 40000;
  e.exit = 0x00020001;
  std::strcpy(e.exit_nat, "bmF0");
  e.stream_limit = 0x00640032;
  EXPECT_EQ(bytes_of(e), golden(56, {{0, {3, 0, 0, 0}},
                                     {4, text("198.51.100.7")},
                                     {20, {0x40, 0x9c, 0, 0}},
                                     {24, {1, 0, 2, 0}},
                                     {28, text("bmF0")},
                                     {52, {0x32, 0, 0x64, 0}}}));
}

TEST(KctlAbi, ReqPath) {
  k2u_req_path r{};
  r.offset = 5;
  r.level = 2;
  r.ip = 0x0700a8c6;  // 198.168.0.7 in network order
  std::strcpy(r.domain, "game.example.test");
  EXPECT_EQ(bytes_of(r), golden(76, {{0, {5, 0, 0, 0}},
                                     {4, {2, 0, 0, 0}},
                                     {8, {0xc6, 0xa8, 0x00, 0x07}},
                                     {12, text("game.example.test")}}));
}

TEST(KctlAbi, IppacketDescAndRecord) {
  k2u_ippacket_desc d{};
  d.desc.ip = 0x0100000b;
  d.desc.remote_port = 0x5000;  // 80, network order
  d.desc.protocol = 6;
  d.desc.local_port = 0x3930;
  d.desc.offset = 16;
  d.desc.level = 7;
  d.desc.length = 1500;
  std::strcpy(d.desc.procname, "tslgame");
  std::strcpy(d.desc.text, "tslgame|*|*|tcp");
  std::strcpy(d.domain, "a.test");
  d.direction = K2U_DIR_OUT;
  EXPECT_EQ(bytes_of(d), golden(172, {{0, {0x0b, 0, 0, 1}},
                                      {4, {0, 0x50}},
                                      {6, {6, 0}},
                                      {8, {0x30, 0x39}},
                                      {10, {16, 7}},
                                      {12, {0xdc, 0x05}},
                                      {14, text("tslgame")},
                                      {38, text("tslgame|*|*|tcp")},
                                      {104, text("a.test")},
                                      {168, {2}}}));
}

TEST(KctlAbi, Numbers) {
  EXPECT_STREQ(kControlName, "cn.pelmoor.tamsel");
  EXPECT_EQ(sizeof kControlName - 1, 17u);
  EXPECT_EQ(KCTL_SET_VNI_OFF_ENTRY, 4000);
  EXPECT_EQ(KCTL_GET_RUNDATA_INFO, 6010);
  EXPECT_EQ(K2U_IPPACKET, 3u);
}

}  // namespace
