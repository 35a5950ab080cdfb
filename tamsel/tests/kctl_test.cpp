// The control channel on the simulated kernel: option table, client slot, records.
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "../src/tamsel_internal.h"
#include "sim_fixture.h"

namespace tamsel::testing {
namespace {

using namespace abi;

class KctlTest : public SimFilter {};

struct OptCase {
  const char* what;
  int opt;
  std::vector<uint8_t> payload;
  int expected;
};

std::vector<uint8_t> raw(size_t n, uint8_t fill = 0) { return std::vector<uint8_t>(n, fill); }
template <typename T>
std::vector<uint8_t> as_bytes(const T& v) {
  std::vector<uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}
std::vector<uint8_t> str(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> white(int offset, int level, const char* rule = "tslgame|1.2.3.4|80|tcp") {
  white_rule_config c{};
  c.offset = offset;
  c.level = level;
  std::strcpy(c.rule, rule);
  return as_bytes(c);
}

std::vector<uint8_t> dns(const char* server, const char* domains) {
  dns_rule_config c{};
  std::strcpy(c.server, server);
  std::strcpy(c.domains, domains);
  return as_bytes(c);
}

std::vector<uint8_t> entry(int offset, const char* ip, int port) {
  vni_off_entry e{};
  e.offset = offset;
  std::strcpy(e.entrance_ip, ip);
  e.port = port;
  e.exit = 0x10002;
  std::strcpy(e.exit_nat, "bmF0LmV4YW1wbGU=");
  e.stream_limit = 0x00100010;
  return as_bytes(e);
}

std::vector<uint8_t> resized(std::vector<uint8_t> v, size_t n) {
  v.resize(n, 'x');
  return v;
}

// The whole option table with short, exact and long payloads and the value checks.
std::vector<OptCase> option_table() {
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

TEST_F(KctlTest, EveryOptionWithShortExactAndLongPayloads) {
  Attach();
  for (const auto& c : option_table()) {
    // Each payload in a buffer of its exact size, so that any overread shows under ASan.
    std::unique_ptr<uint8_t[]> buf(c.payload.empty() ? nullptr : new uint8_t[c.payload.size()]);
    if (buf) std::memcpy(buf.get(), c.payload.data(), c.payload.size());
    EXPECT_EQ(SetOpt(c.opt, buf.get(), c.payload.size()), c.expected) << c.what;
  }
}

TEST_F(KctlTest, RefusedPayloadsAddNothing) {
  Attach();
  auto w = white(17, 0);
  EXPECT_EQ(SetOpt(KCTL_ADD_WHITE_RULE, w.data(), w.size()), EINVAL);
  auto l = white(0, -1);
  EXPECT_EQ(SetOpt(KCTL_ADD_WHITE_RULE, l.data(), l.size()), EINVAL);
  auto p = raw(24, 'p');
  EXPECT_EQ(SetOpt(KCTL_ADD_BLACK_PROCNAME, p.data(), p.size()), EINVAL);
  auto s = tamsel_stats();
  EXPECT_EQ(s.white_rules, 0u);
  EXPECT_EQ(s.enabled_procnames, 0u);
  EXPECT_EQ(s.black_procnames, 0u);
}

TEST_F(KctlTest, GetOptions) {
  Attach();
  struct Case {
    int opt;
    size_t len;
    int expected;
  } cases[] = {{KCTL_GET_RUNDATA_COUNT, 3, EINVAL},  {KCTL_GET_RUNDATA_COUNT, 5, EINVAL},
               {KCTL_GET_RUNDATA_INFO, 619, EINVAL}, {KCTL_GET_RUNDATA_INFO, 621, EINVAL},
               {KCTL_GET_RUNDATA_INFO, 620, EINVAL}, {KCTL_SET_VNI_BASE, 4, EINVAL},
               {7000, 4, EINVAL}};
  for (auto& c : cases) {
    std::vector<uint8_t> b(c.len);
    size_t len = c.len;
    EXPECT_EQ(sim::ctl_getopt(unit_, c.opt, b.data(), &len), c.expected) << c.opt << " " << c.len;
  }
  int32_t v = 41;
  size_t len = 4;
  ASSERT_EQ(sim::ctl_getopt(unit_, KCTL_GET_RUNDATA_COUNT, &v, &len), 0);
  EXPECT_EQ(v, 41);
  EXPECT_EQ(len, 4u);
  // Index 0 lies below the remembered bound, yet no entry exists there.
  std::vector<uint8_t> info(620, 0);
  len = info.size();
  EXPECT_EQ(sim::ctl_getopt(unit_, KCTL_GET_RUNDATA_INFO, info.data(), &len), EINVAL);
}

TEST_F(KctlTest, VniOutsideRangeIsStoredWithWarning) {
  Attach();
  int32_t v = -16;
  EXPECT_EQ(SetOpt(KCTL_SET_VNI_BASE, &v, 4), 0);
  EXPECT_EQ(tamsel_stats().vni, -16);
  EXPECT_TRUE(HasLog("gelmora VNI_BASE -16 (0xfffffff0)"));
  EXPECT_TRUE(HasLog("warning"));
}

TEST_F(KctlTest, SecondClientRefusedFirstUndisturbed) {
  Attach();
  sim::clear_log();
  uint32_t second = 0;
  EXPECT_EQ(sim::ctl_connect(&second), ECONNREFUSED);
  EXPECT_TRUE(HasLog(
      "cn.pelmoor.tamsel ctl is occupied by previously attatched client, current connection will "
      "be refused"));
  EXPECT_EQ(SetOpt(KCTL_ENABLE_INTERCEPT, "", 0), 0);
  EXPECT_EQ(tamsel_stats().intercept, 1);
  EXPECT_EQ(tamsel_stats().attached, 1);
}

TEST_F(KctlTest, NewClientStartsEmptyButKeepsKeptValues) {
  Attach();
  int32_t v = 77;
  ASSERT_EQ(SetOpt(KCTL_SET_VNI_BASE, &v, 4), 0);
  ASSERT_EQ(AddWhite("tslgame|1.2.3.4|80|tcp"), 0);
  ASSERT_EQ(SetOpt(KCTL_ENABLE_INTERCEPT, "", 0), 0);
  ASSERT_EQ(SetOpt(KCTL_ENABLE_INTERCEPT_UDP, "", 0), 0);
  uint32_t ip = 0x01020304;
  ASSERT_EQ(SetOpt(KCTL_SET_EDNS_SERVER, &ip, 4), 0);
  sim::ctl_disconnect(unit_);
  unit_ = 0;
  Attach();
  auto s = tamsel_stats();
  EXPECT_EQ(s.intercept, 0);
  EXPECT_EQ(s.intercept_udp, 0);
  EXPECT_EQ(s.white_rules, 0u);
  EXPECT_EQ(s.enabled_procnames, 0u);
  EXPECT_EQ(s.vni, 77);
  EXPECT_EQ(s.edns_servers, 1);
}

TEST_F(KctlTest, ConcurrentConnectsAttachOne) {
  constexpr int kThreads = 8;
  std::vector<int> results(kThreads);
  std::vector<uint32_t> units(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] { results[i] = sim::ctl_connect(&units[i]); });
  for (auto& t : threads) t.join();
  int ok = 0;
  for (int i = 0; i < kThreads; ++i) {
    if (results[i] == 0) {
      ++ok;
      unit_ = units[i];
    } else {
      EXPECT_EQ(results[i], ECONNREFUSED);
    }
  }
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(tamsel_stats().attached, 1);
}

TEST_F(KctlTest, RecordsOnlyWithClient) {
  kctl_send2usr(K2U_LOG, "%s", "nobody listens");
  kctl_send2user_bin(K2U_REQ_PATH, "abcd", 4);
  EXPECT_TRUE(sim::records().empty());
  Attach();
  kctl_send2usr(K2U_LOG, "%s", "");
  kctl_send2user_bin(K2U_REQ_PATH, "abcd", 0);
  EXPECT_TRUE(sim::records().empty());
  kctl_send2usr(K2U_LOG, "hello %d", 5);
  auto r = sim::records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].unit, unit_);
  const uint8_t want[] = {1, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', ' ', '5'};
  EXPECT_EQ(r[0].bytes, std::vector<uint8_t>(want, want + sizeof want));
}

TEST_F(KctlTest, LongTextCutTo1019) {
  Attach();
  std::string text(2000, 'z');
  kctl_send2usr(K2U_LOG, "%s", text.c_str());
  auto r = sim::records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].bytes.size(), 4u + 1019u);
  EXPECT_EQ(r[0].bytes.back(), 'z');
}

TEST_F(KctlTest, BinaryRecordExact) {
  Attach();
  k2u_req_path p{};
  p.offset = 3;
  kctl_send2user_bin(K2U_REQ_PATH, &p, sizeof p);
  auto r = sim::records();
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].bytes.size(), 80u);
  EXPECT_EQ(r[0].bytes[0], 2);
  EXPECT_EQ(r[0].bytes[4], 3);
}

TEST_F(KctlTest, FullQueueDropsRecordsOnly) {
  Attach();
  sim::set_enqueue_full(true);
  kctl_send2usr(K2U_LOG, "lost");
  EXPECT_TRUE(sim::records().empty());
  EXPECT_EQ(SetOpt(KCTL_ENABLE_INTERCEPT, "", 0), 0);
  sim::set_enqueue_full(false);
  kctl_send2usr(K2U_LOG, "kept");
  ASSERT_EQ(sim::records().size(), 1u);
  EXPECT_EQ(tamsel_stats().attached, 1);
  EXPECT_EQ(tamsel_stats().intercept, 1);
}

TEST_F(KctlTest, EdnsTableFullStillAnswersZero) {
  Attach();
  for (uint32_t i = 0; i < 1024; ++i) ASSERT_EQ(SetOpt(KCTL_SET_EDNS_SERVER, &i, 4), 0);
  uint32_t extra = 0x05060708;
  EXPECT_EQ(SetOpt(KCTL_SET_EDNS_SERVER, &extra, 4), 0);
  EXPECT_EQ(tamsel_stats().edns_servers, 1024);
  EXPECT_TRUE(HasLog("edns server table full"));
}

TEST_F(KctlTest, SendIsDiscarded) {
  Attach();
  EXPECT_EQ(sim::ctl_send(unit_, "junk", 4), 0);
  EXPECT_TRUE(sim::records().empty());
}

}  // namespace
}  // namespace tamsel::testing
