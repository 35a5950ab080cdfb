// The control channel on the simulated kernel: option table, client slot, records.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../src/rules.h"
#include "../src/tamsel_internal.h"
#include "option_cases.h"
#include "sim_fixture.h"

namespace tamsel::testing {
namespace {

using namespace abi;

class KctlTest : public SimFilter {};

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
  } cases[] = {{KCTL_GET_RUNDATA_COUNT, 3, EINVAL},
               {KCTL_GET_RUNDATA_COUNT, 5, EINVAL},
               {KCTL_GET_RUNDATA_INFO, 619, EINVAL},
               {KCTL_GET_RUNDATA_INFO, 621, EINVAL},
               {KCTL_GET_RUNDATA_INFO, 620, EINVAL},
               {KCTL_SET_VNI_BASE, 4, EINVAL},
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

// Each list takes as many entries as its room; the next new one is answered ENOSPC and adds
// nothing, while a duplicate of a kept rule still answers 0.
TEST_F(KctlTest, FullListsAnswerEnospc) {
  Attach();
  auto address = [](size_t i) {
    char a[32];
    std::snprintf(a, sizeof a, "10.%zu.%zu.%zu", (i >> 16) & 255, (i >> 8) & 255, i & 255);
    return std::string(a);
  };
  struct Case {
    const char* what;
    size_t room;
    std::function<int(size_t)> add;
    std::function<size_t()> count;
    bool duplicate_ok;  // adding entry 0 again answers 0
  };
  const Case cases[] = {
      {"white rules", kMaxWhiteRules,
       [&](size_t i) {
         return AddWhite("g" + std::to_string(i % 7) + "|" + address(i) + "|80|udp",
                         static_cast<int>(i % kPathOffsetCount), 1);
       },
       [] { return tamsel_stats().white_rules; }, true},
      {"black rules", kMaxBlackRules,
       [&](size_t i) { return SetOpt(KCTL_ADD_BLACK_RULE, "g|" + address(i) + "|*|tcp"); },
       [] { return tamsel_stats().black_rules; }, true},
      {"black process names", kMaxProcnames,
       [&](size_t i) { return SetOpt(KCTL_ADD_BLACK_PROCNAME, "n" + std::to_string(i)); },
       [] { return tamsel_stats().black_procnames; }, true},
      {"process names of white rules", kMaxProcnames,
       [&](size_t i) { return AddWhite("w" + std::to_string(i) + "|1.2.3.4|80|udp"); },
       [] { return tamsel_stats().enabled_procnames; }, true},
      {"domain rules", kMaxPendingDomainRules,
       [&](size_t i) { return AddWhite("g|d" + std::to_string(i) + ".example|80|udp"); },
       [] { return tamsel_stats().unanalyzed_domains; }, false},
      {"DNS rules", kMaxDnsRules,
       [&](size_t i) {
         auto d = dns("192.0.2.53", ("d" + std::to_string(i) + ".example").c_str());
         return SetOpt(KCTL_SET_DNS_RULE_FOR_SRV, d.data(), d.size());
       },
       [] { return tamsel_stats().dns_rules; }, false},
  };
  for (const auto& c : cases) {
    // Each case on emptied lists: the client's leaving empties them.
    sim::ctl_disconnect(unit_);
    unit_ = 0;
    Attach();
    for (size_t i = 0; i < c.room; ++i) ASSERT_EQ(c.add(i), 0) << c.what << " " << i;
    EXPECT_EQ(c.count(), c.room) << c.what;
    size_t white_before = tamsel_stats().white_rules;
    EXPECT_EQ(c.add(c.room), ENOSPC) << c.what;
    EXPECT_EQ(c.count(), c.room) << c.what;
    // A white rule whose new name finds no room is not added either.
    EXPECT_EQ(tamsel_stats().white_rules, white_before) << c.what;
    if (c.duplicate_ok) {
      EXPECT_EQ(c.add(0), 0) << c.what;
    }
  }
}

TEST_F(KctlTest, SendIsDiscarded) {
  Attach();
  EXPECT_EQ(sim::ctl_send(unit_, "junk", 4), 0);
  EXPECT_TRUE(sim::records().empty());
}

}  // namespace
}  // namespace tamsel::testing
