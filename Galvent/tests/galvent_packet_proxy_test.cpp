// The packet proxy with the real rule kit, its groups resolved against the stand-in relay: the
// classification steps, traffic records, counters and the incoming path.
#include <gtest/gtest.h>

#include "Brevant/Packet.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Galvent/Tunnel/Ombrix/OmbrixPacketProxy.h"
#include "Galvent/Tunnel/Pexara/PexaraPacketProxy.h"
#include "Mazzle/MZIPv4Packet.h"
#include "ProxyTestSupport.h"
#include "TestLogger.h"

using namespace flowtest;
namespace dispatch = platform::dispatch;

namespace {

// The line variant with DNS queries not carried, to see the rewritten copy go on to the rules.
struct LocalDNSProxy : OmbrixPacketProxy {
  explicit LocalDNSProxy(GVTsSession s) : OmbrixPacketProxy(std::move(s)) { autoProxyDNS_ = false; }
};

class PacketProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GVFlowGroup::setRandomSeed(3);
    setOptions([](GVTunnelOptions&) {});
  }
  void TearDown() override {
    if (proxy) proxy->stop();
    settle(main.queue());
    GVTunnelOptions::setCurrentOptions(nullptr);
  }

  template <class F>
  void setOptions(F change) {
    GVTunnelOptions o = GVTunnelOptions::defaultOptions();
    o.recordTrafficEnable = true;
    o.dnsRejectDomains = std::vector<std::string>{"", "reject"};
    o.httpsProxyMatchDomains = std::vector<std::string>{"", "quic.test"};
    change(o);
    GVTunnelOptions::setCurrentOptions(std::make_shared<const GVTunnelOptions>(o));
  }

  GVTsSession session() {
    nlohmann::json entrance = nlohmann::json::array({entranceJSON(rig.a)});
    nlohmann::json info = {
        {"flow_id", 77},
        {"down_stream_limit", 10},
        {"up_stream_limit", 20},
        {"entrance", entrance},
        {"dns_rule_exits", {{{"addr", "1-1"}, {"nat", "127.0.0.1"}}}},
        {"dns_rule_traffic_level", 1},
        {"dns_rule", {{{"destination_domain", {"dns.game"}}, {"dns_server", "127.0.0.1"}}}},
        {"blacklist", {{{"process", {"*"}}, {"destination_ip_domain", {"203.0.113.9"}}}}},
        {"rules",
         {{{"id", 5},
           {"exits", {{{"addr", "2-2"}, {"nat", "127.0.0.1"}}}},
           {"traffic_level", 2},
           {"group_name", "white"},
           {"process", {"*"}},
           {"protocol", {"*"}},
           {"destination_ip_domain", {"127.0.0.1", "192.0.2.77"}}},
          {{"id", 6},
           {"exits", nlohmann::json::array()},
           {"process", {"*"}},
           {"destination_ip_domain", {"198.51.100.7"}}}}}};
    GVTsSession s;
    s.mac = "02:00:00:00:00:01";
    s.clientIP = "10.7.0.2";
    s.speedInfo = tq::fromDictionary<JVX_SPEED_START_INFO>(info);
    EXPECT_TRUE(s.speedInfo);
    return s;
  }

  template <class P = OmbrixPacketProxy>
  void make() {
    proxy = std::make_shared<P>(session());
    proxy->setDelegate(delegate);
    // Non-DNS packets take the learned name of their destination.
    proxy->ruleManager()->domainTable().record(testpkt::ip("203.0.113.50"), "cdn.quic.test");
  }
  void startAndResolve() {
    proxy->start();
    advance(5s);
    for (auto& g : proxy->flowManager()->flowGroups())
      ASSERT_EQ(g->status(), GVFlowGroup::kStatusResolved) << g->description();
  }
  void advance(std::chrono::nanoseconds d) { flowtest::advance(clock.clock(), main.queue(), d); }
  std::vector<standin::relay::Record> tunnelled() const {
    return rig.received(Q5Protocol::kIPPacket);
  }

  dispatch::ScopedMainQueue main;
  dispatch::ScopedVirtualClock clock;
  RelayRig rig;
  UdpEcho echo;
  std::shared_ptr<RecordingProxyDelegate> delegate = std::make_shared<RecordingProxyDelegate>();
  std::shared_ptr<OmbrixPacketProxy> proxy;
};

TEST_F(PacketProxyTest, ClassificationSteps) {
  make();
  startAndResolve();
  struct Case {
    const char* what;
    Bytes packet;
    bool consumed;
    const char* group;     // record written, nullptr for none
    const char* protocol;  // of that record
    bool tunnelled;
  };
  const std::vector<Case> cases = {
      {"not IPv4", Bytes{0x60, 0, 0, 0}, false, nullptr, nullptr, false},
      {"DNS reject text beats the DNS rule", dnsQuery("reject.dns.game"), true, nullptr, nullptr,
       false},
      {"DNS without rule", dnsQuery("www.example.org"), false, "ByPass", "DNS", false},
      {"DNS rule, carried", dnsQuery("www.dns.game", "198.51.100.53", 0x4321), true, "White", "DNS",
       true},
      {"QUIC to an https-proxy domain", udpTo("203.0.113.50", 443), true, nullptr, nullptr, false},
      {"TCP to an https-proxy domain",
       testpkt::tcp(kClient, 40001, testpkt::ip("203.0.113.50"), 443), false, nullptr, nullptr,
       false},
      {"UDP 53 to an https-proxy domain goes on to the rules", udpTo("203.0.113.50", 53, 4), false,
       "ByPass", "UDP", false},
      {"black rule", udpTo("203.0.113.9", 9000), false, "Black", "UDP", false},
      {"white rule", udpTo("192.0.2.77", 9000), true, "White", "UDP", true},
      {"white rule without a group", udpTo("198.51.100.7", 9000), false, "White", "UDP", false},
      {"no rule", udpTo("192.0.2.1", 9), false, "ByPass", "UDP", false},
      {"ICMP", testpkt::icmp_echo(kClient, testpkt::ip("192.0.2.1")), false, "ByPass", "ICMP",
       false},
  };
  size_t records = 0;
  size_t sent = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(proxy->inputPacket(c.packet), c.consumed);
    auto list = proxy->trafficRecords();
    if (c.group) {
      ASSERT_EQ(list.size(), ++records);
      EXPECT_EQ(list.back().group, c.group);
      EXPECT_EQ(list.back().protocol, c.protocol);
    } else {
      EXPECT_EQ(list.size(), records);
    }
    if (c.tunnelled) {
      EXPECT_TRUE(rig.waitReceived(Q5Protocol::kIPPacket, ++sent));
    }
  }
  settle(main.queue());
  EXPECT_EQ(tunnelled().size(), sent);
  // The carried DNS query went to the rule's server, and its record says so.
  auto dnsFrame = tunnelled().at(0);
  auto inner = brevant::parse_ipv4(
      std::span<const uint8_t>(dnsFrame.body).subspan(Q5Protocol::kIPPacketHeaderSize));
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->dst, testpkt::ip("127.0.0.1"));
  auto list = proxy->trafficRecords();
  EXPECT_EQ(list[1].destIP, "127.0.0.1");
  EXPECT_EQ(list[1].port, 53);
  EXPECT_EQ(list[1].domain, "www.dns.game");
  // Equal records are kept once.
  proxy->inputPacket(cases.back().packet);
  EXPECT_EQ(proxy->trafficRecords().size(), records);
  EXPECT_EQ(proxy->txPackets(), sent);
}

// The flow's next packets take the kept verdict; a change of the learned names or of the
// options sends the next packet through the full match again.
TEST_F(PacketProxyTest, VerdictsAreKeptPerFlowUntilNamesOrOptionsChange) {
  make();
  startAndResolve();
  struct Case {
    const char* what;
    Bytes packet;
    bool consumed;
    bool perFlow;  // a verdict is kept for it
  };
  const std::vector<Case> cases = {
      {"QUIC to an https-proxy domain", udpTo("203.0.113.50", 443), true, true},
      {"TCP to an https-proxy domain",
       testpkt::tcp(kClient, 40001, testpkt::ip("203.0.113.50"), 443), false, true},
      {"black rule", udpTo("203.0.113.9", 9000), false, true},
      {"white rule", udpTo("192.0.2.77", 9000), true, true},
      {"no rule", udpTo("192.0.2.1", 9), false, true},
      {"UDP 53", udpTo("203.0.113.50", 53, 4), false, false},
      {"DNS rule", dnsQuery("www.dns.game", "198.51.100.53", 0x4321), true, false},
      {"ICMP", testpkt::icmp_echo(kClient, testpkt::ip("192.0.2.1")), false, false},
  };
  for (const Case& c : cases) EXPECT_EQ(proxy->inputPacket(c.packet), c.consumed) << c.what;
  const size_t records = proxy->trafficRecords().size();
  const uint64_t sent = proxy->txPackets();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t hits = proxy->flowCacheHits();
    EXPECT_EQ(proxy->inputPacket(c.packet), c.consumed);
    EXPECT_EQ(proxy->flowCacheHits() - hits, c.perFlow ? 1u : 0u);
  }
  // Same records, and carried packets still counted.
  EXPECT_EQ(proxy->trafficRecords().size(), records);
  EXPECT_EQ(proxy->txPackets(), sent + 2);

  // A name learned for the destination: the flow now meets the https-proxy list.
  const Bytes quic = udpTo("203.0.113.61", 443);
  EXPECT_FALSE(proxy->inputPacket(quic));
  EXPECT_FALSE(proxy->inputPacket(quic));
  proxy->ruleManager()->domainTable().record(testpkt::ip("203.0.113.61"), "video.quic.test");
  EXPECT_TRUE(proxy->inputPacket(quic)) << "a stale verdict after a learned name";

  // New options without the list: the same flow is no longer dropped.
  setOptions([](GVTunnelOptions& o) { o.httpsProxyMatchDomains = std::vector<std::string>{}; });
  const uint64_t misses = proxy->flowCacheMisses();
  EXPECT_FALSE(proxy->inputPacket(quic)) << "a stale verdict after new options";
  EXPECT_EQ(proxy->flowCacheMisses() - misses, 1u);
}

// With packet lines off no packet description or rule text is built on the hot path; with
// them on, every classified packet gets its line.
TEST_F(PacketProxyTest, PacketTextIsBuiltOnlyWithPacketLinesOn) {
  auto logger = std::make_shared<RecordingLogger>();
  GVLogger::setLogger(logger);
  struct Unset {
    ~Unset() { GVLogger::setLogger(nullptr); }
  } unset;
  auto countPacketLines = [&] {
    size_t n = 0;
    for (const auto& line : logger->lines())
      if (line.find("matched") != std::string::npos || line.find("Pass to") != std::string::npos)
        ++n;
    return n;
  };
  const std::vector<Bytes> packets = {dnsQuery("www.dns.game"), udpTo("203.0.113.9", 9000),
                                      udpTo("192.0.2.77", 9000), udpTo("192.0.2.1", 9)};
  for (bool lines : {false, true}) {
    SCOPED_TRACE(lines ? "packet lines on" : "packet lines off");
    setOptions([&](GVTunnelOptions& o) {
      o.logEnable = true;
      o.logInterceptPacket = lines;
    });
    make();
    uint64_t before = GVLogger::packetTextsBuilt();
    size_t linesBefore = countPacketLines();
    for (const Bytes& p : packets) proxy->inputPacket(p);
    if (lines) {
      EXPECT_EQ(GVLogger::packetTextsBuilt() - before, packets.size());
      EXPECT_EQ(countPacketLines() - linesBefore, packets.size());
    } else {
      EXPECT_EQ(GVLogger::packetTextsBuilt(), before);
      EXPECT_EQ(countPacketLines(), linesBefore);
    }
    proxy->stop();
  }
}

TEST_F(PacketProxyTest, CountersCountRefusedPacketsAndRecordsCanBeOff) {
  make();
  // Before start every group is stopped: the packet is counted and passed down.
  Bytes white = udpTo("192.0.2.77", 9000);
  EXPECT_FALSE(proxy->inputPacket(white));
  EXPECT_EQ(proxy->txPackets(), 1u);
  EXPECT_EQ(proxy->txbytes(), white.size());

  setOptions([](GVTunnelOptions& o) { o.recordTrafficEnable = false; });
  make();
  proxy->inputPacket(white);
  proxy->inputPacket(udpTo("192.0.2.1", 9));
  EXPECT_TRUE(proxy->trafficRecords().empty());
}

TEST_F(PacketProxyTest, LocalDNSGoesOnToTheRulesAsTheRewrittenCopy) {
  make<LocalDNSProxy>();
  startAndResolve();
  EXPECT_FALSE(proxy->autoProxyDNS());
  // Not carried by the DNS group: the copy, now to 127.0.0.1, meets the white rule of that address.
  EXPECT_TRUE(proxy->inputPacket(dnsQuery("www.dns.game")));
  auto list = proxy->trafficRecords();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].group, "White");
  EXPECT_EQ(list[0].destIP, "127.0.0.1");
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kIPPacket, 1));
  EXPECT_EQ(Q5Protocol::loadU32(tunnelled().at(0).body.data()), Q5Protocol::exitFromString("2-2"));
  // A query matching no DNS rule is passed down untouched.
  EXPECT_FALSE(proxy->inputPacket(dnsQuery("www.example.org")));
}

TEST_F(PacketProxyTest, GlobalProxyCarriesEverythingThroughTheLastGroup) {
  setOptions([](GVTunnelOptions& o) {
    o.globalProxy = true;
    o.dnsServer = "127.0.0.1";
  });
  make();
  startAndResolve();
  auto last = proxy->flowManager()->lastFlowGroup();
  EXPECT_TRUE(proxy->inputPacket(udpTo("192.0.2.1", 9)));
  EXPECT_TRUE(proxy->inputPacket(udpTo("203.0.113.9", 9000)));  // black, yet carried
  EXPECT_TRUE(proxy->inputPacket(dnsQuery("www.example.org")));
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kIPPacket, 3));
  for (auto& r : proxy->trafficRecords()) EXPECT_EQ(r.group, "White");
  auto dns = tunnelled().at(2);
  auto inner = brevant::parse_ipv4(
      std::span<const uint8_t>(dns.body).subspan(Q5Protocol::kIPPacketHeaderSize));
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->dst, testpkt::ip("127.0.0.1")) << "DNS goes to the options' server";
  EXPECT_EQ(Q5Protocol::loadU32(dns.body.data()),
            Q5Protocol::exitFromString(last->resolveExit()->addr));
}

TEST_F(PacketProxyTest, WhiteUDPRoundTripThroughTheRelay) {
  make();
  startAndResolve();
  Bytes out = testpkt::udp(kClient, 41000, testpkt::ip("127.0.0.1"), echo.port(), Bytes(100, 7));
  EXPECT_TRUE(proxy->inputPacket(out));
  ASSERT_TRUE(main.queue().runUntil([&] { return delegate->count() == 1; }));
  Bytes back = delegate->at(0);
  EXPECT_TRUE(brevant::verify_checksums(back));
  auto info = brevant::parse_ipv4(back);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->src_port, echo.port());
  EXPECT_EQ(info->dst_port, 41000);
  EXPECT_EQ(proxy->rxPackets(), 1u);
  EXPECT_EQ(proxy->rxBytes(), back.size());

  // The same as two fragments: delivered once, whole.
  rig.relay.setFragmentMTU(576);
  Bytes big = testpkt::udp(kClient, 41001, testpkt::ip("127.0.0.1"), echo.port(), Bytes(900, 9));
  EXPECT_TRUE(proxy->inputPacket(big));
  ASSERT_TRUE(main.queue().runUntil([&] { return delegate->count() == 2; }));
  Bytes whole = delegate->at(1);
  EXPECT_TRUE(brevant::verify_checksums(whole));
  auto bigInfo = brevant::parse_ipv4(whole);
  ASSERT_TRUE(bigInfo);
  EXPECT_FALSE(bigInfo->is_fragment());
  EXPECT_EQ(bigInfo->payload_length, 8u + 900u);
  EXPECT_EQ(proxy->rxPackets(), 2u);
}

TEST_F(PacketProxyTest, IncomingChecksDNSRestoreAndBadBodies) {
  make();
  // A carried query to 198.51.100.53 was sent to 127.0.0.1; its answer gets the original source.
  ASSERT_FALSE(proxy->inputPacket(dnsQuery("www.dns.game", "198.51.100.53", 0x7777)));
  Bytes answer =
      testpkt::udp(testpkt::ip("127.0.0.1"), 53, kClient, 53000,
                   testpkt::dns_answer(0x7777, "www.dns.game", {}, {testpkt::ip("192.0.2.99")}));
  proxy->processIncomingIPPacket(answer);
  ASSERT_EQ(delegate->count(), 1u);
  auto info = brevant::parse_ipv4(delegate->at(0));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->src, testpkt::ip("198.51.100.53"));
  EXPECT_TRUE(brevant::verify_checksums(delegate->at(0)));
  EXPECT_EQ(proxy->ruleManager()->domainTable().lookup(testpkt::ip("192.0.2.99")), "www.dns.game");

  // A packet whose checksums are wrong arrives fixed.
  Bytes spoiled = udpTo("192.0.2.1", 9);
  spoiled[10] ^= 0xFF;
  spoiled[27] ^= 0xFF;
  proxy->processIncomingIPPacket(spoiled);
  ASSERT_EQ(delegate->count(), 2u);
  EXPECT_TRUE(brevant::verify_checksums(delegate->at(1)));

  // Bodies that are no sound IPv4 packet are dropped uncounted.
  uint64_t before = proxy->rxPackets();
  Bytes overclaim = udpTo("192.0.2.1", 9);
  overclaim[3] += 40;  // total length beyond the bytes
  for (const Bytes& bad : {Bytes{}, Bytes{0x45, 0, 0}, Bytes(20, 0xFF), overclaim}) {
    proxy->processIncomingIPPacket(bad);
  }
  MZQueueFactory::sync([] {});
  EXPECT_EQ(delegate->count(), 2u);
  EXPECT_EQ(proxy->rxPackets(), before);

  // A lone fragment waits for the rest.
  auto pieces = MZIPv4Packet::buildFragments(
      testpkt::udp(kClient, 5, testpkt::ip("192.0.2.1"), 6, Bytes(900, 1)), 576);
  ASSERT_EQ(pieces.size(), 2u);
  proxy->processIncomingIPPacket(pieces[1]);
  MZQueueFactory::sync([] {});
  EXPECT_EQ(delegate->count(), 2u);
  proxy->processIncomingIPPacket(pieces[0]);
  MZQueueFactory::sync([] {});
  EXPECT_EQ(delegate->count(), 3u);
}

TEST_F(PacketProxyTest, DomainListsAreCaseSensitiveSubstrings) {
  struct Case {
    const char* domain;
    bool reject;
    bool https;
  };
  const std::vector<Case> cases = {
      {"a.reject.b", true, false},  {"REJECT.b", false, false}, {"", false, false},
      {"x.quic.test", false, true}, {"quic.tes", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GVPacketProxy::matchDNSRejectDomain(c.domain), c.reject) << c.domain;
    EXPECT_EQ(GVPacketProxy::matchHttpProxyDomain(c.domain), c.https) << c.domain;
  }
}

TEST_F(PacketProxyTest, TrafficRecordsAreCapped) {
  make();
  for (uint32_t i = 0; i < GVPacketProxy::kMaxTrafficRecords + 5; ++i) {
    Bytes p = testpkt::udp(kClient, 40000, testpkt::ip("192.0.2.1"),
                           static_cast<uint16_t>(1 + i % 60000), Bytes(4, 0));
    if (i >= 60000) break;
    proxy->inputPacket(p);
  }
  EXPECT_EQ(proxy->trafficRecords().size(), GVPacketProxy::kMaxTrafficRecords);
}

}  // namespace

namespace {

TEST_F(PacketProxyTest, StartOptionsChooseTheProduct) {
  GVTsSession line = session();
  line.baseDomain = "127.0.0.1:1";
  GVQ5Session game;
  game.baseDomain = "127.0.0.1:2";
  game.speedInfo = PXA_SPEED_START_INFO{};
  nlohmann::json tunnel = {{"recordTrafficEnable", true}};
  struct Case {
    const char* what;
    nlohmann::json options;
    const char* product;  // nullptr: no proxy
  };
  const std::vector<Case> cases = {
      {"line", {{"tssession", tq::toDictionary(line)}, {"tunnelOptions", tunnel}}, "line"},
      {"game", {{"q5session", tq::toDictionary(game)}}, "game"},
      {"both: the line wins",
       {{"q5session", tq::toDictionary(game)}, {"tssession", tq::toDictionary(line)}},
       "line"},
      {"neither", nlohmann::json::object(), nullptr},
      {"not an object", nlohmann::json::array({1}), nullptr},
      {"session of the wrong kind", {{"tssession", 5}}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto p = GVPacketProxy::packetProxyWith(c.options, delegate);
    if (!c.product) {
      EXPECT_EQ(p, nullptr);
      continue;
    }
    ASSERT_TRUE(p);
    EXPECT_EQ(p->delegate(), delegate);
    bool isLine = dynamic_cast<OmbrixPacketProxy*>(p.get()) != nullptr;
    EXPECT_EQ(isLine, std::string(c.product) == "line");
    if (isLine) {
      EXPECT_EQ(p->clientIP(), testpkt::ip("10.7.0.2"));
    }
  }
}

TEST_F(PacketProxyTest, CarriedDNSGetsTheClientSubnetWhenEnabled) {
  setOptions([](GVTunnelOptions& o) { o.EDNSEnable = true; });
  make();
  startAndResolve();
  Bytes query = dnsQuery("www.dns.game");
  EXPECT_TRUE(proxy->inputPacket(query));
  ASSERT_TRUE(rig.waitReceived(Q5Protocol::kIPPacket, 1));
  auto body = tunnelled().at(0).body;
  std::span<const uint8_t> inner =
      std::span<const uint8_t>(body).subspan(Q5Protocol::kIPPacketHeaderSize);
  EXPECT_GT(inner.size(), query.size()) << "an OPT record with the client subnet was added";
  EXPECT_TRUE(brevant::verify_checksums(inner));
}

}  // namespace
