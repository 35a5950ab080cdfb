// The traffic filter end to end: tamseld loaded by zandrel in a client namespace, configured by a
// control client, carrying listed games' traffic in tunnel frames through the stand-in relay.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "FilterClient.h"
#include "Scene.h"

namespace {

using namespace std::chrono_literals;
using namespace tamsel::abi;
using tsl::countLines;
using tsl::Record;

constexpr int kOffset = 3;
constexpr int kLevel = 7;
constexpr int32_t kVni = 0x00abcdef;
constexpr uint32_t kExit = (2u << 16) | 5u;
constexpr uint32_t kStreamLimit = (100u << 16) | 200u;  // up 100, down 200
constexpr char kNat[] = "203.0.113.200";
constexpr char kGameRule[] = "tslgame|203.0.113.10|*|*";

std::string at(const char* ip, int port) { return std::string(ip) + ":" + std::to_string(port); }
const std::string kUdpEcho = at(tsl::kEchoIP, tsl::kUdpEchoPort);
const std::string kTcpEcho = at(tsl::kEchoIP, tsl::kTcpEchoPort);

uint32_t u32le(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

std::string ipOf(uint32_t network) {
  char ip[INET_ADDRSTRLEN] = "";
  in_addr a{network};
  ::inet_ntop(AF_INET, &a, ip, sizeof ip);
  return ip;
}

std::vector<Record> ofType(const std::vector<Record>& rs, uint32_t type) {
  std::vector<Record> out;
  for (const auto& r : rs)
    if (r.type == type) out.push_back(r);
  return out;
}

std::string logs(const std::vector<Record>& rs) {
  std::string out;
  for (const auto& r : rs)
    if (r.type == K2U_LOG) out += r.text() + "\n";
  return out;
}

class TamselSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
    std::string why;
    ASSERT_TRUE(scene.setUp(&why)) << why;
    ASSERT_EQ(scene.load(), 0) << "zandrel load";
    client = std::make_unique<tsl::FilterClient>(scene.runDir());
    ASSERT_EQ(client->connect(), 0);
  }

  void TearDown() override {
    if (client) client->close();
  }

  // Flow id, the relay as entrance of kOffset, the game's rule and every switch but DNS.
  void pushGameRules(const std::vector<std::string>& extraRules = {}) {
    ASSERT_EQ(client->vni(kVni), 0);
    client->setEntrance(kOffset, {tsl::kEntranceIP, tsl::kEntrancePort, kExit, kNat, kStreamLimit});
    ASSERT_EQ(client->white(kOffset, kLevel, kGameRule), 0);
    for (const auto& r : extraRules) ASSERT_EQ(client->white(kOffset, kLevel, r), 0) << r;
    for (int s : {KCTL_ENABLE_INTERCEPT_TCP, KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT_ICMP,
                  KCTL_ENABLE_INTERCEPT})
      ASSERT_EQ(client->on(s), 0);
  }

  // Frames the relay took in (type 400) whose inner packet goes to `dst`.
  std::vector<tsl::RelayFrame> framesTo(const std::string& dst, uint8_t protocol) const {
    std::vector<tsl::RelayFrame> out;
    for (auto& f : scene.relayFrames()) {
      if (!f.incoming || f.type != 400) continue;
      auto in = tsl::innerOf(f);
      if (in && in->dst == dst && in->protocol == protocol) out.push_back(f);
    }
    return out;
  }

  size_t answersFrom(const std::string& src) const {
    size_t n = 0;
    for (auto& f : scene.relayFrames()) {
      auto in = f.type == 401 && !f.incoming ? tsl::innerOf(f) : std::nullopt;
      n += in && in->src == src;
    }
    return n;
  }

  tsl::Scene scene;
  std::unique_ptr<tsl::FilterClient> client;
};

// A listed game's UDP echo: one path request answered with 4000, then the flow travels in 400
// frames carrying every header field, and its answers come back in 401 frames.
TEST_F(TamselSystem, UdpEchoTravelsThroughTheRelay) {
  pushGameRules();
  auto run = scene.game("tslgame", {"--udp", kUdpEcho});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(countLines(run.output, "udp " + kUdpEcho + " ok"), 1u) << run.output;
  // The game's socket closed with its end; that record is the last of the run.
  EXPECT_TRUE(client->waitFor(
      [](auto& r) { return countLog(r, "tslgame: UDP[0] closed (elapsed ") == 1; }, 5s))
      << logs(client->records());

  auto rs = client->records();
  auto paths = ofType(rs, K2U_REQ_PATH);
  ASSERT_EQ(paths.size(), 1u) << logs(rs);
  EXPECT_EQ(paths[0].path().offset, static_cast<uint32_t>(kOffset));
  EXPECT_EQ(paths[0].path().level, static_cast<uint32_t>(kLevel));
  EXPECT_EQ(ipOf(paths[0].path().ip), tsl::kEchoIP);
  EXPECT_EQ(client->pathAnswers(), std::vector<int>{0});
  EXPECT_EQ(countLog(rs, "create udp socket (198.51.100.254:4400) for offset 3"), 1u) << logs(rs);
  EXPECT_EQ(countLog(rs, "tslgame: UDP[0] sendto 203.0.113.10:7000"), 1u) << logs(rs);

  // Flow records both ways, naming the process and the rule.
  size_t out = 0, in = 0;
  for (const auto& r : ofType(rs, K2U_IPPACKET)) {
    auto p = r.packet();
    EXPECT_STREQ(p.desc.procname, "tslgame");
    EXPECT_STREQ(p.desc.text, kGameRule);
    EXPECT_EQ(p.desc.offset, kOffset);
    EXPECT_EQ(p.desc.level, kLevel);
    EXPECT_EQ(ipOf(p.desc.ip), tsl::kEchoIP);
    EXPECT_EQ(ntohs(p.desc.remote_port), tsl::kUdpEchoPort);
    out += p.direction == K2U_DIR_OUT;
    in += p.direction == K2U_DIR_IN;
  }
  EXPECT_GE(out, 1u);
  EXPECT_GE(in, 1u);

  // Every field of the filter's 41-byte header, as the relay received it.
  auto frames = framesTo(tsl::kEchoIP, IPPROTO_UDP);
  ASSERT_GE(frames.size(), 1u);
  for (const auto& f : frames) {
    EXPECT_EQ(f.lengthField, f.size);
    ASSERT_GE(f.body.size(), 33u);
    EXPECT_EQ(u32le(f.body, 0), kExit);
    EXPECT_EQ(u32le(f.body, 4), kStreamLimit);
    EXPECT_EQ(u32le(f.body, 8), static_cast<uint32_t>(kVni));
    EXPECT_EQ(f.body[12], kLevel);
    std::string nat(reinterpret_cast<const char*>(f.body.data() + 13), 20);
    EXPECT_EQ(nat, std::string(kNat) + std::string(20 - std::strlen(kNat), '\0'));
    auto inner = tsl::innerOf(f);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->src, tsl::kClientIP);
    EXPECT_EQ(inner->dstPort, tsl::kUdpEchoPort);
    EXPECT_EQ(std::string(inner->payload.begin(), inner->payload.end()), "tslgame");
    EXPECT_TRUE(tsl::checksumsRight(inner->packet));
    // The relay reads the same fields: down (rx) in the low half of the stream limit.
    if (f.decoded) {
      EXPECT_EQ(f.exit, kExit);
      EXPECT_EQ(f.rx, kStreamLimit & 0xffff);
      EXPECT_EQ(f.tx, kStreamLimit >> 16);
      EXPECT_EQ(f.flowId, static_cast<uint32_t>(kVni));
      EXPECT_EQ(f.level, static_cast<uint32_t>(kLevel));
      EXPECT_EQ(f.nat, kNat);
    }
  }
  EXPECT_GE(answersFrom(tsl::kEchoIP), 1u);
  // The server saw the relay, never the client.
  EXPECT_GE(countLines(scene.serverLog(), "udp " + kUdpEcho + " from 203.0.113.254:"), 1u);
  EXPECT_EQ(countLines(scene.serverLog(), "udp " + kUdpEcho + " from 198.51.100.1:"), 0u);
}

// The MSS option of a TCP segment, or -1.
int mssOf(const std::vector<uint8_t>& packet) {
  size_t hl = static_cast<size_t>(packet[0] & 0x0f) * 4;
  if (packet.size() < hl + 20) return -1;
  size_t end = std::min(packet.size(), hl + static_cast<size_t>(packet[hl + 12] >> 4) * 4);
  for (size_t at = hl + 20; at < end;) {
    uint8_t kind = packet[at];
    if (kind == 0) break;
    if (kind == 1) {
      ++at;
      continue;
    }
    if (at + 1 >= end || packet[at + 1] < 2) break;
    if (kind == 2 && packet[at + 1] == 4 && at + 4 <= end)
      return packet[at + 2] << 8 | packet[at + 3];
    at += packet[at + 1];
  }
  return -1;
}

// TCP and ping-socket echoes of a listed game go the same way; the TCP socket's life reaches the
// client as "connect ok" and "closed".
TEST_F(TamselSystem, TcpAndPingTravelThroughTheRelay) {
  ASSERT_EQ(client->on(KCTL_ENABLE_REDUCE_TCP_MSS), 0);
  pushGameRules();
  auto run = scene.game("tslgame", {"--tcp", kTcpEcho, "--ping", tsl::kEchoIP});
  ASSERT_EQ(run.status, 0) << run.output;
  auto tcp = framesTo(tsl::kEchoIP, IPPROTO_TCP);
  ASSERT_FALSE(tcp.empty());
  // The SYN left with its MSS cut to the filter's floor (1460 on this link, 1332 after).
  auto syn = tsl::innerOf(tcp.front())->packet;
  ASSERT_GE(syn.size(), 40u);
  EXPECT_EQ(syn[33] & 0x12, 0x02);
  EXPECT_EQ(mssOf(syn), 1332);
  EXPECT_TRUE(tsl::checksumsRight(syn));
  EXPECT_FALSE(framesTo(tsl::kEchoIP, IPPROTO_ICMP).empty());
  EXPECT_GE(answersFrom(tsl::kEchoIP), 2u);
  // The relay's TUN device carried the connection: the server saw an address of its subnet.
  EXPECT_GE(countLines(scene.serverLog(), "tcp " + kTcpEcho + " from 192.0.2."), 1u);
  auto rs = client->records();
  EXPECT_EQ(countType(rs, K2U_REQ_PATH), 1u);
  // The socket's life is read by the filter's monitor, so its records may follow the game's end;
  // the ping came after the TCP socket's end, so its packets' records may follow that.
  auto icmpRecords = [](const auto& records) {
    size_t icmp = 0;
    for (const auto& r : ofType(records, K2U_IPPACKET))
      icmp += r.packet().desc.protocol == IPPROTO_ICMP;
    return icmp;
  };
  EXPECT_TRUE(client->waitFor(
      [&](auto& r) {
        return countLog(r, "tslgame: TCP[0] 203.0.113.10:7001 closed") == 1 && icmpRecords(r) >= 2;
      },
      5s))
      << logs(client->records());
  EXPECT_EQ(countLog(client->records(), "tslgame: TCP[0] 203.0.113.10:7001 connect ok"), 1u)
      << logs(client->records());
}

// The local port a game's UDP echo used, from its result line.
int portOf(const std::string& output, const std::string& target) {
  auto at = output.find("udp " + target + " ok");
  if (at == std::string::npos) return -1;
  auto p = output.find("port=", at);
  return p == std::string::npos ? -1 : std::atoi(output.c_str() + p + 5);
}

// Only listed processes are selected: an unlisted one goes direct, a 20-character name (longer
// than the kernel's command name) is matched whole, and a socket that existed before the
// switches went on stays direct.
TEST_F(TamselSystem, OnlyListedNamesAndNewSocketsAreTunnelled) {
  auto early = scene.startGame("tslgame", {"--udp", kUdpEcho, "--pause", "--udp", kUdpEcho});
  ASSERT_TRUE(systest::waitFor([&] { return early.log().find("paused") != std::string::npos; }, 5s))
      << early.log();
  pushGameRules({"tslgame-long-name-20|203.0.113.10|*|udp"});

  auto other = scene.game("tslother", {"--udp", kUdpEcho});
  ASSERT_EQ(other.status, 0) << other.output;
  auto longName = scene.game("tslgame-long-name-20", {"--udp", kUdpEcho});
  ASSERT_EQ(longName.status, 0) << longName.output;
  early.signal(SIGUSR1);
  ASSERT_EQ(early.wait(10s), std::optional<int>(0)) << early.log();

  auto framesFromPort = [&](int port) {
    size_t n = 0;
    for (const auto& f : framesTo(tsl::kEchoIP, IPPROTO_UDP)) n += tsl::innerOf(f)->srcPort == port;
    return n;
  };
  auto direct = [&](int port) {
    return countLines(scene.serverLog(),
                      "udp " + kUdpEcho + " from 198.51.100.1:" + std::to_string(port));
  };
  int otherPort = portOf(other.output, kUdpEcho);
  int longPort = portOf(longName.output, kUdpEcho);
  int earlyPort = portOf(early.log(), kUdpEcho);
  EXPECT_EQ(framesFromPort(otherPort), 0u);
  EXPECT_GE(direct(otherPort), 1u);
  EXPECT_GE(framesFromPort(longPort), 1u);
  EXPECT_EQ(direct(longPort), 0u);
  EXPECT_EQ(framesFromPort(earlyPort), 0u);
  EXPECT_GE(direct(earlyPort), 2u);

  auto rs = client->records();
  EXPECT_EQ(countLog(rs, "tslgame-long-name-20: UDP[0] sendto 203.0.113.10:7000"), 1u) << logs(rs);
  EXPECT_EQ(countLog(rs, "tslother"), 0u);
  bool named = false;
  for (const auto& r : ofType(rs, K2U_IPPACKET))
    named |= std::string(r.packet().desc.procname) == "tslgame-long-name-20";
  EXPECT_TRUE(named);
}

// The filter serves the user who loaded it: another user's game of a listed name goes direct,
// unseen (no frame, no record); the loading user's own game is tunnelled.
TEST_F(TamselSystem, AnotherUsersGameIsNeverSelected) {
  constexpr uid_t kUser = 4231, kOtherUser = 4232;
  client->close();
  ASSERT_TRUE(systest::waitFor([&] { return scene.unload() == 0; }, 5s));
  ASSERT_EQ(scene.loadFor(kUser), 0);
  client = std::make_unique<tsl::FilterClient>(scene.runDir());
  ASSERT_EQ(client->connect(), 0);
  pushGameRules();

  auto other = scene.game("tslgame", {"--udp", kUdpEcho}, kOtherUser);
  ASSERT_EQ(other.status, 0) << other.output;
  int otherPort = portOf(other.output, kUdpEcho);
  EXPECT_GE(countLines(scene.serverLog(),
                       "udp " + kUdpEcho + " from 198.51.100.1:" + std::to_string(otherPort)),
            1u);
  EXPECT_TRUE(framesTo(tsl::kEchoIP, IPPROTO_UDP).empty());

  auto mine = scene.game("tslgame", {"--udp", kUdpEcho}, kUser);
  ASSERT_EQ(mine.status, 0) << mine.output;
  EXPECT_GE(framesTo(tsl::kEchoIP, IPPROTO_UDP).size(), 1u);
  // The user's own game is seen; the other one never was: every record is of the later run.
  ASSERT_TRUE(client->waitFor(
      [](auto& r) { return countLog(r, "tslgame: UDP[0] closed (elapsed ") == 1; }, 5s))
      << logs(client->records());
  auto rs = client->records();
  EXPECT_EQ(countLog(rs, "tslgame: UDP["), countLog(rs, "tslgame: UDP[0]")) << logs(rs);
  for (const auto& f : framesTo(tsl::kEchoIP, IPPROTO_UDP))
    EXPECT_NE(tsl::innerOf(f)->srcPort, otherPort);
}

// A closed socket's last answers count: six 5-byte echoes are 30 bytes each way.
TEST_F(TamselSystem, UdpBytesAreCountedExactly) {
  pushGameRules();
  // A first run learns the path, so that no datagram of the second waits for it.
  ASSERT_EQ(scene.game("tslgame", {"--udp", kUdpEcho}).status, 0);
  std::vector<std::string> args{"--text", "hello"};
  for (int i = 0; i < 6; ++i) args.insert(args.end(), {"--udp", kUdpEcho});
  auto run = scene.game("tslgame", args);
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(countLines(run.output, "ok tries=1"), 6u) << run.output;  // nothing sent twice
  EXPECT_TRUE(client->waitFor(
      [](auto& r) { return countLog(r, "tslgame: UDP[1] closed (elapsed ") == 1; }, 5s))
      << logs(client->records());
  EXPECT_EQ(countLog(client->records(), "(send 30 recv 30)"), 1u) << logs(client->records());
}

// A ping socket that existed before the ICMP switch went on stays outside, as TCP and UDP ones do.
TEST_F(TamselSystem, PingSocketOpenedBeforeTheSwitchIsNeverAttached) {
  auto early =
      scene.startGame("tslgame", {"--ping-open", tsl::kEchoIP, "--pause", "--ping", tsl::kEchoIP});
  ASSERT_TRUE(systest::waitFor([&] { return early.log().find("paused") != std::string::npos; }, 5s))
      << early.log();
  pushGameRules();
  early.signal(SIGUSR1);
  ASSERT_EQ(early.wait(10s), std::optional<int>(0)) << early.log();
  EXPECT_EQ(countLines(early.log(), std::string("ping ") + tsl::kEchoIP + " ok"), 1u)
      << early.log();
  EXPECT_TRUE(framesTo(tsl::kEchoIP, IPPROTO_ICMP).empty());
  // A ping socket made afterwards is the filter's.
  auto later = scene.game("tslgame", {"--ping", tsl::kEchoIP});
  ASSERT_EQ(later.status, 0) << later.output;
  EXPECT_GE(framesTo(tsl::kEchoIP, IPPROTO_ICMP).size(), 1u);
}

// A game started through a loader under another name is selected by the name it was started
// with (argv[0]).
TEST_F(TamselSystem, ListedNameMatchesArgv0OfALoader) {
  pushGameRules();
  systest::TempDir links("tsl-loader", "/run");
  ::chmod(links.path().c_str(), 0755);
  const std::string loader = (links.path() / "tslgame").string();
  ASSERT_EQ(::symlink((tsl::Scene::gameDir() + "/tslother").c_str(), loader.c_str()), 0);
  systest::SpawnOptions o;
  o.netns = &scene.cli();
  auto p = systest::Process::spawn({loader, "--udp", kUdpEcho}, o);
  ASSERT_EQ(p.wait(30s), std::optional<int>(0)) << p.log();
  int port = portOf(p.log(), kUdpEcho);
  size_t tunnelled = 0;
  for (const auto& f : framesTo(tsl::kEchoIP, IPPROTO_UDP))
    tunnelled += tsl::innerOf(f)->srcPort == port;
  EXPECT_GE(tunnelled, 1u) << p.log();
  EXPECT_EQ(countLog(client->records(), "tslgame: UDP[0] sendto 203.0.113.10:7000"), 1u)
      << logs(client->records());
}

// DNS rules send a game's query to the rule's resolver and the answer back from the address it
// asked; NXDOMAIN too; a query to the local stub is left alone.
TEST_F(TamselSystem, DnsQueriesAreRedirectedAndAnswersRestored) {
  ASSERT_EQ(client->dnsRule(tsl::kRuleDNS, "game.example.test"), 0);
  ASSERT_EQ(client->dnsRule(tsl::kNxDNS, "nx.example.test"), 0);
  ASSERT_EQ(client->on(KCTL_ENABLE_INTERCEPT_DNS), 0);
  ASSERT_EQ(client->on(KCTL_ENABLE_INTERCEPT), 0);
  auto run =
      scene.game("tslgame", {"--dns", tsl::kAskedDNS, "game.example.test", "--dns", tsl::kAskedDNS,
                             "nx.example.test", "--dns", tsl::kStubDNS, "game.example.test"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(
      countLines(run.output, "dns game.example.test rcode=0 from 203.0.113.53 a=203.0.113.20"), 1u)
      << run.output;
  EXPECT_EQ(countLines(run.output, "dns nx.example.test rcode=3 from 203.0.113.53"), 1u)
      << run.output;
  EXPECT_EQ(countLines(run.output, "dns game.example.test rcode=0 from 127.0.0.53 a=203.0.113.77"),
            1u)
      << run.output;
  const std::string log = scene.serverLog();
  EXPECT_EQ(countLines(log, "dns 203.0.113.53:53"), 0u) << log;
  EXPECT_GE(countLines(log, "dns 203.0.113.54:53 from 198.51.100.1:"), 1u) << log;
  EXPECT_GE(countLines(log, "dns 203.0.113.55:53 from 198.51.100.1:"), 1u) << log;
  EXPECT_EQ(countLines(scene.stubLog(), "name=game.example.test"), 1u);
  EXPECT_TRUE(scene.relayFrames().empty());
}

// With a white rule for the resolver and the resolver listed for the client-subnet option, the
// query travels in a 400 frame 23 bytes longer; the answer teaches the filter the game's server.
TEST_F(TamselSystem, TunnelledQueryCarriesClientSubnetAndTeachesTheRule) {
  ASSERT_EQ(client->dnsRule(tsl::kRuleDNS, "game.example.test"), 0);
  ASSERT_EQ(client->address(KCTL_SET_CLIENT_IP, "192.0.2.77"), 0);
  ASSERT_EQ(client->address(KCTL_SET_EDNS_SERVER, tsl::kRuleDNS), 0);
  ASSERT_EQ(client->white(kOffset, kLevel, "*|203.0.113.54|53|udp"), 0);
  ASSERT_EQ(client->white(kOffset, kLevel, "tslgame|game.example.test|*|udp"), 0);
  client->setEntrance(kOffset, {tsl::kEntranceIP, tsl::kEntrancePort, kExit, kNat, kStreamLimit});
  for (int s : {KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT_DNS, KCTL_ENABLE_INTERCEPT})
    ASSERT_EQ(client->on(s), 0);

  auto run = scene.game("tslgame", {"--dns", tsl::kAskedDNS, "game.example.test", "--udp",
                                    at(tsl::kLearntIP, tsl::kUdpEchoPort)});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(
      countLines(run.output, "dns game.example.test rcode=0 from 203.0.113.53 a=203.0.113.20"), 1u)
      << run.output;

  auto queries = framesTo(tsl::kRuleDNS, IPPROTO_UDP);
  ASSERT_FALSE(queries.empty());
  auto q = *tsl::innerOf(queries.back());
  ASSERT_GT(q.payload.size(), 23u + 12u);
  EXPECT_EQ(q.dstPort, 53);
  EXPECT_EQ(q.payload[10] << 8 | q.payload[11], 1);  // additional records
  const std::vector<uint8_t> option = {0, 0, 41, 0x10, 0, 0,  0, 0,   0, 0, 12, 0,
                                       8, 0, 8,  0,    1, 32, 0, 192, 0, 2, 77};
  EXPECT_EQ(std::vector<uint8_t>(q.payload.end() - 23, q.payload.end()), option);
  EXPECT_TRUE(tsl::checksumsRight(q.packet));
  EXPECT_GE(countLines(scene.serverLog(), "dns 203.0.113.54:53 from 203.0.113.254:"), 1u);

  // The learnt rule made the game's flow to the answered address a tunnelled one.
  EXPECT_FALSE(framesTo(tsl::kLearntIP, IPPROTO_UDP).empty());
  // Flow records name the redirected query "DNS" and the game's flow by the name it was learnt
  // from (the game's socket closing comes after both).
  EXPECT_TRUE(client->waitFor([](auto& r) { return countLog(r, "] closed (elapsed ") > 0; }, 5s));
  bool dnsRecord = false, learnt = false;
  for (const auto& r : ofType(client->records(), K2U_IPPACKET)) {
    auto p = r.packet();
    dnsRecord |= std::string(p.desc.procname) == "DNS";
    learnt |= ipOf(p.desc.ip) == tsl::kLearntIP && std::string(p.domain) == "game.example.test";
  }
  EXPECT_TRUE(dnsRecord);
  EXPECT_TRUE(learnt);
}

// A new client address: the next tunnelled send fails, the filter re-creates its socket and
// the next run echoes from the new address.
TEST_F(TamselSystem, NewClientAddressRecreatesTheEntranceSocket) {
  pushGameRules();
  ASSERT_EQ(scene.game("tslgame", {"--udp", kUdpEcho}).status, 0);
  ASSERT_TRUE(
      scene.cli().ok("ip addr del 198.51.100.1/24 dev c0 && "
                     "ip addr add 198.51.100.2/24 dev c0 && "
                     "ip route replace default via 198.51.100.254"));
  auto first = scene.game("tslgame", {"--udp", kUdpEcho});
  EXPECT_EQ(first.status, 0) << first.output;
  // The datagram that met the vanished address is lost; the game's retry takes the new socket.
  EXPECT_EQ(countLines(first.output, "ok tries=1 "), 0u) << first.output;
  auto second = scene.game("tslgame", {"--udp", kUdpEcho});
  ASSERT_EQ(second.status, 0) << second.output;
  size_t fromNew = 0;
  for (const auto& f : framesTo(tsl::kEchoIP, IPPROTO_UDP)) {
    fromNew += f.peer.rfind("198.51.100.2:", 0) == 0 && tsl::innerOf(f)->src == "198.51.100.2";
  }
  EXPECT_GE(fromNew, 1u);
}

// The client's close resets the filter (the game goes direct); unloading leaves nothing behind.
TEST_F(TamselSystem, CloseResetsAndUnloadLeavesNothing) {
  pushGameRules();
  ASSERT_EQ(scene.game("tslgame", {"--udp", kUdpEcho}).status, 0);
  size_t tunnelled = framesTo(tsl::kEchoIP, IPPROTO_UDP).size();
  ASSERT_GE(tunnelled, 1u);
  client->close();

  nlohmann::json stats;
  ASSERT_TRUE(systest::waitFor(
      [&] {
        stats = nlohmann::json::parse(scene.admin("stats"), nullptr, false);
        return stats.is_object() && stats["attached"] == 0;
      },
      5s));
  for (auto& [k, v] : stats["lists"].items()) EXPECT_EQ(v, 0) << k;
  for (auto& [k, v] : stats["switches"].items()) EXPECT_EQ(v, 0) << k;
  EXPECT_EQ(stats["server_sockets"], 0);
  EXPECT_EQ(stats["global_socket_id"], 0);
  EXPECT_EQ(stats["vni"], kVni);

  auto run = scene.game("tslgame", {"--udp", kUdpEcho});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(framesTo(tsl::kEchoIP, IPPROTO_UDP).size(), tunnelled);
  EXPECT_GE(countLines(scene.serverLog(),
                       "from 198.51.100.1:" + std::to_string(portOf(run.output, kUdpEcho))),
            1u);

  ASSERT_EQ(scene.unload(), 0);
  const auto& cli = scene.cli();
  EXPECT_EQ(cli.sh("iptables-save | grep -c TAMSEL").output, "0\n");
  EXPECT_FALSE(cli.ok("ip link show tamsel0 2>/dev/null"));
  EXPECT_EQ(cli.sh("cat /proc/net/netfilter/nfnetlink_queue").output, "");
  EXPECT_EQ(cli.sh("ss -H -uan 'fwmark = 0x35500000/0xffff0000'").output, "");
  EXPECT_EQ(cli.sh("ss -H -xa | grep -c tamsel").output, "0\n");
  EXPECT_EQ(cli.sh("sysctl -n net.ipv4.conf.all.rp_filter").output, "1\n");
  EXPECT_EQ(systest::sh("ls -A " + scene.runDir()).output, "");
}

// A host firewall that drops everything but known connections: the listed game's answers,
// injected untracked, still come in.
TEST_F(TamselSystem, StatefulFirewallKeepsTunnelledAnswers) {
  ASSERT_TRUE(
      scene.cli().ok("iptables -P INPUT DROP && "
                     "iptables -A INPUT -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT"));
  pushGameRules();
  auto run = scene.game("tslgame", {"--udp", kUdpEcho, "--tcp", kTcpEcho, "--ping", tsl::kEchoIP});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(countLines(run.output, "udp " + kUdpEcho + " ok"), 1u) << run.output;
  EXPECT_EQ(countLines(run.output, "tcp " + kTcpEcho + " ok"), 1u) << run.output;
  EXPECT_EQ(countLines(run.output, std::string("ping ") + tsl::kEchoIP + " ok"), 1u) << run.output;
  EXPECT_GE(framesTo(tsl::kEchoIP, IPPROTO_UDP).size(), 1u);
  EXPECT_GE(framesTo(tsl::kEchoIP, IPPROTO_TCP).size(), 1u);
  EXPECT_GE(framesTo(tsl::kEchoIP, IPPROTO_ICMP).size(), 1u);
}

// A killed daemon's leftovers are put back by the next unload: no chain, the reverse-path
// setting, an empty run folder.
TEST_F(TamselSystem, UnloadAfterAKillRestoresTheMachine) {
  pushGameRules();
  ASSERT_EQ(scene.game("tslgame", {"--udp", kUdpEcho}).status, 0);
  auto pid = scene.tamseldPid();
  ASSERT_TRUE(pid);
  const auto& cli = scene.cli();
  ASSERT_EQ(cli.sh("sysctl -n net.ipv4.conf.all.rp_filter").output, "2\n");
  ASSERT_EQ(::kill(*pid, SIGKILL), 0);
  ASSERT_TRUE(systest::waitFor([&] { return ::kill(*pid, 0) != 0; }, 5s));
  client->close();
  ASSERT_NE(cli.sh("iptables-save | grep -c TAMSEL").output, "0\n");

  EXPECT_EQ(scene.unload(), 0);
  EXPECT_EQ(cli.sh("iptables-save | grep -c TAMSEL").output, "0\n");
  EXPECT_EQ(cli.sh("sysctl -n net.ipv4.conf.all.rp_filter").output, "1\n");
  EXPECT_EQ(systest::sh("ls -A " + scene.runDir()).output, "");
  EXPECT_EQ(scene.unload(), 0);  // nothing left: still no failure
}

// After the daemon is killed, traffic flows untouched by the chains it left; the next load
// flushes them.
TEST_F(TamselSystem, KilledDaemonLeavesTrafficFlowingAndNextLoadFlushes) {
  pushGameRules();
  ASSERT_EQ(scene.game("tslgame", {"--udp", kUdpEcho}).status, 0);
  auto pid = scene.tamseldPid();
  ASSERT_TRUE(pid);
  ASSERT_EQ(::kill(*pid, SIGKILL), 0);
  ASSERT_TRUE(systest::waitFor([&] { return ::kill(*pid, 0) != 0; }, 5s));
  client->close();
  ASSERT_EQ(scene.cli().sh("iptables-save | grep -c '^-A OUTPUT -j TAMSEL_OUT'").output, "1\n");

  size_t tunnelled = framesTo(tsl::kEchoIP, IPPROTO_UDP).size();
  auto run = scene.game("tslgame", {"--udp", kUdpEcho, "--tcp", kTcpEcho, "--ping", tsl::kEchoIP});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(framesTo(tsl::kEchoIP, IPPROTO_UDP).size(), tunnelled);

  ASSERT_EQ(scene.load(), 0);
  const auto& cli = scene.cli();
  auto jumps = [&] {
    return cli.sh("iptables-save | grep -cE '^-A (OUTPUT -j TAMSEL_OUT|PREROUTING -j TAMSEL_IN)$'")
        .output;
  };
  // The stale jumps are gone; the master switch adds them again, the session's end removes them.
  EXPECT_EQ(jumps(), "0\n");
  EXPECT_EQ(cli.sh("iptables-save | grep -c '^:TAMSEL_OUT'").output, "1\n");
  tsl::FilterClient again(scene.runDir());
  ASSERT_EQ(again.connect(), 0);
  ASSERT_EQ(again.on(KCTL_ENABLE_INTERCEPT), 0);
  EXPECT_EQ(jumps(), "2\n");
  ASSERT_EQ(again.on(KCTL_DISABLE_INTERCEPT), 0);
  EXPECT_EQ(jumps(), "0\n");
  ASSERT_EQ(again.on(KCTL_ENABLE_INTERCEPT), 0);
  again.close();
  EXPECT_TRUE(systest::waitFor([&] { return jumps() == "0\n"; }, 5s));
  // The reverse-path setting the killed daemon loosened comes back with the next stop.
  ASSERT_TRUE(systest::waitFor([&] { return scene.unload() == 0; }, 5s));
  EXPECT_EQ(cli.sh("sysctl -n net.ipv4.conf.all.rp_filter").output, "1\n");
  EXPECT_EQ(cli.sh("iptables-save | grep -c TAMSEL").output, "0\n");
}

}  // namespace
