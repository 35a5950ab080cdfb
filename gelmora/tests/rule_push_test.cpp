// The rule push: option order and bytes against a recording sink, its failure verdicts, and the
// real filter (tamseld-sim) taking a small rule set.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "KextSimFixture.h"
#include "gelmora/Service/Params/TsParamsKext.h"

namespace kabi = tamsel::abi;

namespace {

struct Sent {
  int name;
  std::vector<uint8_t> data;
};

struct Recorder {
  std::vector<Sent> sent;
  std::function<int(int name, const std::vector<uint8_t>&)> answer = [](int, const auto&) {
    return 0;
  };
  KextHelper::OptionSink sink() {
    return [this](int name, const void* data, size_t len) {
      auto* p = static_cast<const uint8_t*>(data);
      std::vector<uint8_t> bytes(p, p + len);
      sent.push_back({name, bytes});
      return answer(name, bytes);
    };
  }
};

template <typename T>
std::vector<uint8_t> bytesOf(const T& v) {
  auto* p = reinterpret_cast<const uint8_t*>(&v);
  return {p, p + sizeof v};
}

kabi::white_rule_config white(int32_t offset, const char* rule) {
  kabi::white_rule_config w{};
  w.offset = offset;
  w.level = 1;
  std::strncpy(w.rule, rule, sizeof w.rule - 1);
  return w;
}

kabi::dns_rule_config dns(const char* server, const char* domain) {
  kabi::dns_rule_config d{};
  std::strncpy(d.server, server, sizeof d.server - 1);
  std::strncpy(d.domains, domain, sizeof d.domains - 1);
  return d;
}

KextRuleSet fixture() {
  KextRuleSet r;
  r.flowId = "42";
  r.dns = {dns("192.0.2.53", "game.example")};
  r.white = {white(2, "tslgame|198.51.100.0-198.51.100.255|*|udp"),
             white(1, "*|192.0.2.53|53|UDP")};
  r.black = {"*|old.example|*|tcp", "*|例子.example|*|tcp"};
  r.clientIp = "203.0.113.9";
  r.ednsServer = "192.0.2.1";
  return r;
}

uint32_t addr(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

TEST(RulePush, ExactOrderAndBytes) {
  Recorder rec;
  KextRuleSet r = fixture();
  EXPECT_TRUE(TsParamsKext::setRulesToKext(r, rec.sink()));
  int32_t flow = 42;
  std::string black0 = r.black[0], black1 = r.black[1];
  std::vector<Sent> want = {
      {kabi::KCTL_SET_VNI_BASE, bytesOf(flow)},
      {kabi::KCTL_SET_DNS_RULE_FOR_SRV, bytesOf(r.dns[0])},
      {kabi::KCTL_ADD_WHITE_RULE, bytesOf(r.white[0])},
      {kabi::KCTL_ADD_WHITE_RULE, bytesOf(r.white[1])},
      // Texts without a terminating zero; the non-ASCII one with its full UTF-8 length.
      {kabi::KCTL_ADD_BLACK_RULE, {black0.begin(), black0.end()}},
      {kabi::KCTL_ADD_BLACK_RULE, {black1.begin(), black1.end()}},
      {kabi::KCTL_SET_CLIENT_IP, bytesOf(addr("203.0.113.9"))},
      {kabi::KCTL_SET_EDNS_SERVER, bytesOf(addr("192.0.2.1"))},
      {kabi::KCTL_ENABLE_INTERCEPT_TCP, {}},
      {kabi::KCTL_ENABLE_INTERCEPT_UDP, {}},
      {kabi::KCTL_ENABLE_INTERCEPT_ICMP, {}},
      {kabi::KCTL_ENABLE_INTERCEPT_DNS, {}},
      {kabi::KCTL_ENABLE_INTERCEPT, {}},
  };
  ASSERT_EQ(rec.sent.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(rec.sent[i].name, want[i].name) << i;
    EXPECT_EQ(rec.sent[i].data, want[i].data) << i;
  }
  EXPECT_EQ(rec.sent[5].data.size(), std::string("*|例子.example|*|tcp").size());
  EXPECT_EQ(rec.sent[1].data.size(), 272u);
  EXPECT_EQ(rec.sent[2].data.size(), 264u);
}

TEST(RulePush, EmptyListsBlackCapAndUnparsedClient) {
  Recorder rec;
  KextRuleSet r;
  r.clientIp = "not an address";
  EXPECT_TRUE(TsParamsKext::setRulesToKext(r, rec.sink()));
  ASSERT_EQ(rec.sent.size(), 8u);  // flow id, two addresses, five switches
  EXPECT_EQ(rec.sent[1].name, kabi::KCTL_SET_CLIENT_IP);
  EXPECT_EQ(rec.sent[1].data, bytesOf(uint32_t{0}));

  rec.sent.clear();
  for (int i = 0; i < 25000; ++i) r.black.push_back("*|h" + std::to_string(i) + ".example|*|tcp");
  EXPECT_TRUE(TsParamsKext::setRulesToKext(r, rec.sink()));
  size_t blacks = 0;
  std::string last;
  for (const auto& s : rec.sent)
    if (s.name == kabi::KCTL_ADD_BLACK_RULE) ++blacks, last.assign(s.data.begin(), s.data.end());
  EXPECT_EQ(blacks, 19999u);
  EXPECT_EQ(last, "*|h19998.example|*|tcp");
}

TEST(RulePush, FailureVerdicts) {
  struct {
    const char* what;
    int refusedOption;  // 0: none
    int err;
    bool ok;
  } cases[] = {
      {"all accepted", 0, 0, true},
      {"one white rule refused", kabi::KCTL_ADD_WHITE_RULE, EINVAL, true},
      {"a black rule refused", kabi::KCTL_ADD_BLACK_RULE, EINVAL, true},
      {"an intercept kind refused", kabi::KCTL_ENABLE_INTERCEPT_ICMP, EINVAL, true},
      {"flow id refused", kabi::KCTL_SET_VNI_BASE, EINVAL, false},
      {"final switch refused", kabi::KCTL_ENABLE_INTERCEPT, EINVAL, false},
      {"pipe broken at a white rule", kabi::KCTL_ADD_WHITE_RULE, EPIPE, false},
      {"reset at the client address", kabi::KCTL_SET_CLIENT_IP, ECONNRESET, false},
      {"closed descriptor at dns", kabi::KCTL_SET_DNS_RULE_FOR_SRV, EBADF, false},
      {"not connected at the resolver", kabi::KCTL_SET_EDNS_SERVER, ENOTCONN, false},
  };
  for (const auto& c : cases) {
    Recorder rec;
    rec.answer = [&](int name, const auto&) { return name == c.refusedOption ? c.err : 0; };
    EXPECT_EQ(TsParamsKext::setRulesToKext(fixture(), rec.sink()), c.ok) << c.what;
    // Nothing stops the push: every option is still tried.
    EXPECT_EQ(rec.sent.size(), 13u) << c.what;
  }
}

TEST(RulePush, WithoutConnectionEverythingRefused) {
  KextHelper::unloadMessagePipe();
  EXPECT_FALSE(TsParamsKext::setRulesToKext(fixture()));
}

class RulePushSim : public KextSimFixture {
 protected:
  void TearDown() override {
    KextHelper::unloadMessagePipe();
    KextSimFixture::TearDown();
  }
};

TEST_F(RulePushSim, FilterTakesRulesAndSwitchesOn) {
  StartDaemon();
  ASSERT_TRUE(KextHelper::openKextConnection());
  KextRuleSet r = fixture();
  // The filter keeps offsets 0..16 only: a rule of offset 17 is refused alone. Black rules by
  // domain wait in the filter for their names to resolve.
  r.white.push_back(white(17, "tslgame|198.51.100.7|*|udp"));
  EXPECT_TRUE(TsParamsKext::setRulesToKext(r));
  EXPECT_TRUE(WaitStats([](const std::string& s) {
    return s.find("\"white_rule\":2,") != s.npos && s.find("\"unanalyzed_domain\":2,") != s.npos &&
           s.find("\"dns_rule\":1,") != s.npos && s.find("\"intercept\":1") != s.npos &&
           s.find("\"client_ip\":\"203.0.113.9\"") != s.npos && s.find("\"vni\":42") != s.npos;
  })) << Admin("stats");
}

}  // namespace
