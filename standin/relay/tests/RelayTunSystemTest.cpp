// The relay's TUN mode in its own namespaces: TCP and ICMP inside 400 frames leave through the
// TUN device with a per-client source address, and the answers the kernel routes back come to
// the right client as 401 frames. Namespace "ent" holds the relay, "srv" the far end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "Mazzle/MZHelper.h"
#include "Mazzle/MZIPv4Packet.h"
#include "systest/Systest.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

uint32_t ip(const char* text) { return *MZHelper::ipv4AddrFromLiteral(text); }

const uint32_t kGame = ip("203.0.113.7");  // inner source of both clients; routed nowhere
const uint32_t kFar = ip("198.51.100.50");
constexpr uint16_t kRelayPort = 40001;
constexpr uint16_t kTcpPort = 8080;

sockaddr_in addr(uint32_t a, uint16_t port) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_addr.s_addr = htonl(a);
  s.sin_port = htons(port);
  return s;
}

// A checked packet with every checksum recomputed: equal to the input only when the input's
// checksums were right.
Bytes recomputed(const Bytes& packet) {
  auto p = MZIPv4Packet::packetWithData(packet, false);
  if (!p) return {};
  p->updateChecksum();
  return p->rawData();
}

Bytes icmpEcho(uint16_t id, uint16_t seq) {
  Bytes icmp{8,
             0,
             0,
             0,
             static_cast<uint8_t>(id >> 8),
             static_cast<uint8_t>(id),
             static_cast<uint8_t>(seq >> 8),
             static_cast<uint8_t>(seq),
             'p',
             'i',
             'n',
             'g'};
  return recomputed(MZIPv4Packet::buildIPv4(kGame, kFar, IPPROTO_ICMP, icmp));
}

Bytes tcpSyn(uint16_t srcPort, uint32_t seq) {
  Bytes tcp(20, 0);
  tcp[0] = static_cast<uint8_t>(srcPort >> 8);
  tcp[1] = static_cast<uint8_t>(srcPort);
  tcp[2] = kTcpPort >> 8;
  tcp[3] = kTcpPort & 0xFF;
  for (int i = 0; i < 4; ++i) tcp[4 + i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
  tcp[12] = 5 << 4;
  tcp[13] = 0x02;  // SYN
  tcp[14] = 0xFF;  // window
  tcp[15] = 0xFF;
  return recomputed(MZIPv4Packet::buildIPv4(kGame, kFar, IPPROTO_TCP, tcp));
}

uint32_t load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// A client of the relay: one UDP socket on the loopback of "ent".
class Client {
 public:
  explicit Client(const systest::Netns& ns) {
    systest::Netns::Enter in(ns);
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto to = addr(ip("127.0.0.1"), kRelayPort);
    ok_ = in.entered() && fd_ >= 0 &&
          ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }
  void send(const Bytes& inner) {
    auto frame = *Q5Protocol::IPPacketWithExit("3-7", 100, 200, 42, 1, "MTAuMC4wLjE=", inner);
    ASSERT_EQ(::send(fd_, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
  }
  // The inner packet of the next 401 frame whose packet has this protocol (the far end may
  // repeat itself, and other frames may come between).
  std::optional<Bytes> next(uint8_t protocol, std::chrono::milliseconds timeout = 5s) {
    auto end = std::chrono::steady_clock::now() + timeout;
    Bytes buf(65536);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
        return std::nullopt;
      ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n < 8 || Q5Protocol::loadU32(buf.data() + 4) != 401 ||
          Q5Protocol::loadU32(buf.data()) != static_cast<uint32_t>(n))
        continue;
      Bytes inner(buf.begin() + 8, buf.begin() + n);
      if (inner.size() >= 20 && inner[9] == protocol) return inner;
    }
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

}  // namespace

TEST(RelayTunSystemTest, TcpAndIcmpComeBackToTheClientTheyBelongTo) {
  if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
  systest::Netns ent(systest::uniqueName("rly-e")), srv(systest::uniqueName("rly-s"));
  ASSERT_TRUE(ent.valid() && srv.valid());
  ASSERT_TRUE(systest::veth(ent, "re0", "198.51.100.1/24", srv, "rs0", "198.51.100.50/24"));
  ASSERT_TRUE(ent.ok("sysctl -qw net.ipv4.ip_forward=1"));
  ASSERT_TRUE(srv.ok("ip route add default via 198.51.100.1"));

  // The far end: a TCP listener (the kernel answers the SYN) and the kernel's echo answers.
  int listener = -1;
  {
    systest::Netns::Enter in(srv);
    ASSERT_TRUE(in.entered());
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto at = addr(kFar, kTcpPort);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closeListener{listener};

  systest::TempDir dir("relay-tun");
  const std::string records = (dir.path() / "records.jsonl").string();
  systest::SpawnOptions options;
  options.netns = &ent;
  auto relay = systest::Process::spawn(
      {STANDIN_RELAY_PATH, "--listen", "127.0.0.1:" + std::to_string(kRelayPort), "--tun", "rly0",
       "--tun-net", "192.0.2.1/24", "--record", records},
      options);
  ASSERT_TRUE(systest::waitFor(
      [&] { return relay.log().find("tun rly0 up") != std::string::npos || !relay.running(); },
      10s))
      << relay.log();
  ASSERT_TRUE(relay.running()) << relay.log();

  Client a(ent), b(ent);
  ASSERT_TRUE(a.ok() && b.ok());

  // ICMP from client a.
  a.send(icmpEcho(0x1234, 1));
  auto reply = a.next(IPPROTO_ICMP);
  ASSERT_TRUE(reply) << relay.log();
  auto r = MZIPv4Packet::packetWithData(*reply, false);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->source(), kFar);
  EXPECT_EQ(r->destination(), kGame);
  auto icmp = r->payload();
  ASSERT_GE(icmp.size(), 8u);
  EXPECT_EQ(icmp[0], 0) << "echo reply";
  EXPECT_EQ(icmp[4] << 8 | icmp[5], 0x1234);
  EXPECT_EQ(recomputed(*reply), *reply) << "checksums";

  // TCP from client b, whose inner source is the same address as a's: the SYN-ACK goes to b
  // alone.
  const uint32_t isn = 0x01020304;
  b.send(tcpSyn(40000, isn));
  auto synAck = b.next(IPPROTO_TCP);
  ASSERT_TRUE(synAck) << relay.log();
  auto t = MZIPv4Packet::packetWithData(*synAck, false);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->source(), kFar);
  EXPECT_EQ(t->sourcePort(), kTcpPort);
  EXPECT_EQ(t->destination(), kGame);
  EXPECT_EQ(t->destinationPort(), 40000);
  auto seg = t->payload();
  ASSERT_GE(seg.size(), 20u);
  EXPECT_EQ(seg[13] & 0x12, 0x12) << "SYN and ACK";
  EXPECT_EQ(load32(seg.data() + 8), isn + 1);
  EXPECT_EQ(recomputed(*synAck), *synAck) << "checksums";
  EXPECT_FALSE(a.next(IPPROTO_TCP, 300ms)) << "a TCP answer reached the other client";

  // The two clients left with addresses of their own from the TUN subnet.
  std::ifstream in(records);
  std::vector<nlohmann::json> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(nlohmann::json::parse(l));
  std::vector<std::string> notes;
  for (const auto& j : lines) {
    if (j["dir"] != "in" || j["type"] != 400) continue;
    EXPECT_EQ(j["exit"], 196615);
    EXPECT_EQ(j["flow_id"], 42);
    EXPECT_EQ(j["nat_address"], "10.0.0.1");
    notes.push_back(j["note"]);
  }
  EXPECT_EQ(notes, (std::vector<std::string>{"inner protocol 1 to tun from 192.0.2.2",
                                             "inner protocol 6 to tun from 192.0.2.3"}));

  relay.signal(SIGTERM);
  EXPECT_EQ(relay.wait(5s), std::optional<int>(0));
  EXPECT_FALSE(ent.ok("ip link show rly0")) << "the device goes with the relay";
}
