// TUN interface offering order, TCP address translation and DNS server keying, without a device.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "Mazzle/MZDNSServer.h"
#include "Mazzle/MZHelper.h"
#include "Mazzle/MZIPv4Packet.h"
#include "Mazzle/MZTCPStack.h"
#include "Mazzle/MZTUNInterface.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t ip(const char* text) { return *MZHelper::ipv4AddrFromLiteral(text); }

Bytes tcpPacket(uint32_t src, uint16_t sp, uint32_t dst, uint16_t dp, uint8_t flags) {
  Bytes tcp(20, 0);
  tcp[0] = uint8_t(sp >> 8), tcp[1] = uint8_t(sp);
  tcp[2] = uint8_t(dp >> 8), tcp[3] = uint8_t(dp);
  tcp[12] = 5 << 4;
  tcp[13] = flags;
  tcp[14] = 0xff;
  return MZIPv4Packet::buildIPv4(src, dst, IPPROTO_TCP, tcp);
}

Bytes dnsQuery(uint16_t id) {
  Bytes m = {uint8_t(id >> 8), uint8_t(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  for (char b : std::string("\x04game\x00\x00\x01\x00\x01", 10)) m.push_back(uint8_t(b));
  return m;
}

struct RecordingStack : MZIPStackProtocol {
  RecordingStack(std::string name, bool takes, std::vector<std::string>& log)
      : name(std::move(name)), takes(takes), log(log) {}
  bool inputPacket(std::span<const uint8_t>, int version) override {
    log.push_back(name + ":" + std::to_string(version));
    return takes;
  }
  std::string name;
  bool takes;
  std::vector<std::string>& log;
};

TEST(MZTUNInterface, OffersInRegistrationOrderUntilOneTakes) {
  struct Case {
    std::vector<bool> takes;
    std::vector<std::string> offered;
    bool taken;
  };
  const Case cases[] = {
      {{false, true, true}, {"a:4", "b:4"}, true},
      {{true, true}, {"a:4"}, true},
      {{false, false}, {"a:4", "b:4"}, false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> log;
    MZTUNInterface interface(nullptr);
    for (size_t i = 0; i < c.takes.size(); ++i)
      interface.registerStack(
          std::make_shared<RecordingStack>(std::string(1, char('a' + i)), c.takes[i], log));
    auto packet = MZIPv4Packet::buildUDP(ip("192.0.2.1"), 1000, ip("203.0.113.1"), 9, Bytes{1});
    EXPECT_EQ(interface.offer(packet), c.taken);
    EXPECT_EQ(log, c.offered);
    EXPECT_EQ(interface.droppedPackets(), c.taken ? 0u : 1u);
  }
}

TEST(MZTUNInterface, ReadsFromThePacketFlowAndWritesStackOutputBack) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  auto flow = std::make_shared<platform::netext::PacketFlow>();
  flow->adopt(fds[0], "test0");
  MZTUNInterface interface(flow);
  // Echoes every packet back with source and destination swapped.
  struct Echo : MZIPStackProtocol {
    bool inputPacket(std::span<const uint8_t> data, int) override {
      auto p = MZIPv4Packet::packetWithData(data, true);
      auto payload = p->payload().subspan(8);
      output(MZIPv4Packet::buildUDP(p->destination(), p->destinationPort(), p->source(),
                                    p->sourcePort(), payload));
      return true;
    }
  };
  interface.registerStack(std::make_shared<Echo>());
  interface.start();
  auto packet = MZIPv4Packet::buildUDP(ip("192.0.2.1"), 1000, ip("203.0.113.1"), 9, Bytes{7, 8});
  ASSERT_EQ(::write(fds[1], packet.data(), packet.size()), ssize_t(packet.size()));
  uint8_t buffer[2048];
  ssize_t n = ::read(fds[1], buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  auto back = MZIPv4Packet::packetWithData(std::span(buffer, size_t(n)), false);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->source(), ip("203.0.113.1"));
  EXPECT_EQ(back->destinationPort(), 1000);
  interface.terminal();
  EXPECT_FALSE(flow->isOpen());
  ::close(fds[1]);
}

struct NatFixture : ::testing::Test {
  std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
  MZTCPStack stack{[this] { return now; }, 8};
  const uint32_t client = ip("192.0.2.1");
  const uint16_t listen = 40000;
  void SetUp() override { stack.setListenPort(listen); }
  MZIPv4Packet parse(const Bytes& b) { return *MZIPv4Packet::packetWithData(b, true); }
};

TEST_F(NatFixture, SameSourcePortToTwoDestinationsGetsTwoFakeSources) {
  Bytes a = tcpPacket(client, 5555, ip("203.0.113.20"), 8080, 0x02);
  Bytes b = tcpPacket(client, 5555, ip("203.0.113.30"), 80, 0x02);
  ASSERT_TRUE(stack.translate(a));
  ASSERT_TRUE(stack.translate(b));
  auto pa = parse(a), pb = parse(b);
  EXPECT_NE(pa.source(), pb.source());
  for (auto* p : {&pa, &pb}) {
    EXPECT_EQ(p->source() & 0xFFFF0000u, MZTCPStack::kFakeNetwork);
    EXPECT_EQ(p->destination(), client);
    EXPECT_EQ(p->destinationPort(), listen);
    EXPECT_EQ(p->sourcePort(), 5555);
  }
  auto fa = stack.flowForFake(pa.source(), 5555);
  auto fb = stack.flowForFake(pb.source(), 5555);
  ASSERT_TRUE(fa && fb);
  EXPECT_EQ(fa->destinationIP, ip("203.0.113.20"));
  EXPECT_EQ(fb->destinationPort, 80);

  // The listener's answer goes back out as from the original destination, checksums valid.
  Bytes answer = tcpPacket(client, listen, pb.source(), 5555, 0x12);
  ASSERT_TRUE(stack.translate(answer));
  auto pr = parse(answer);
  EXPECT_EQ(pr.source(), ip("203.0.113.30"));
  EXPECT_EQ(pr.sourcePort(), 80);
  EXPECT_EQ(pr.destination(), client);
  EXPECT_EQ(pr.destinationPort(), 5555);
  Bytes copy = answer;
  auto check = MZIPv4Packet::packetWithData(copy, false);
  check->updateChecksum();
  EXPECT_EQ(check->rawData(), answer);
}

TEST_F(NatFixture, OnlySynOpensAndUnknownAnswersAreNotTaken) {
  for (uint8_t flags : {uint8_t(0x10), uint8_t(0x04), uint8_t(0x12), uint8_t(0x01)}) {
    Bytes p = tcpPacket(client, 6000, ip("203.0.113.20"), 80, flags);
    EXPECT_FALSE(stack.translate(p)) << int(flags);
  }
  Bytes stray = tcpPacket(client, listen, MZTCPStack::kFakeNetwork | 77, 6000, 0x12);
  EXPECT_FALSE(stack.translate(stray));
  EXPECT_EQ(stack.flowCount(), 0u);
  MZTCPStack idle{[] { return std::chrono::steady_clock::time_point{}; }};
  Bytes syn = tcpPacket(client, 1, ip("203.0.113.20"), 80, 0x02);
  EXPECT_FALSE(idle.translate(syn)) << "no listener yet";
}

TEST_F(NatFixture, FlowsLiveWithTheirRelayOthersEndOnResetIdleAndClosingAndTheTableIsBounded) {
  Bytes syn = tcpPacket(client, 7000, ip("203.0.113.20"), 80, 0x02);
  ASSERT_TRUE(stack.translate(syn));
  Bytes rst = tcpPacket(client, 7000, ip("203.0.113.20"), 80, 0x04);
  ASSERT_TRUE(stack.translate(rst));
  EXPECT_EQ(stack.flowCount(), 0u);

  // An accepted connection idle for longer than the idle limit still translates both ways.
  syn = tcpPacket(client, 7001, ip("203.0.113.20"), 80, 0x02);
  ASSERT_TRUE(stack.translate(syn));
  const uint32_t held = parse(syn).source();
  auto accepted = stack.acceptFlow(held, 7001);
  ASSERT_TRUE(accepted);
  EXPECT_FALSE(stack.acceptFlow(held, 7002)) << "not a flow of the table";
  now += MZTCPStack::kIdleTimeout + std::chrono::seconds(1);
  stack.expire();
  Bytes out = tcpPacket(client, 7001, ip("203.0.113.20"), 80, 0x18);
  EXPECT_TRUE(stack.translate(out));
  Bytes back = tcpPacket(client, listen, held, 7001, 0x18);
  ASSERT_TRUE(stack.translate(back));
  EXPECT_EQ(parse(back).source(), ip("203.0.113.20"));
  // Once its relay ended it goes after the closing time.
  stack.relayEnded(*accepted);
  now += MZTCPStack::kClosingTimeout;
  stack.expire();
  EXPECT_EQ(stack.flowCount(), 0u);
  out = tcpPacket(client, 7001, ip("203.0.113.20"), 80, 0x18);
  EXPECT_FALSE(stack.translate(out));

  // A SYN the listener never accepted expires when idle.
  syn = tcpPacket(client, 7003, ip("203.0.113.20"), 80, 0x02);
  ASSERT_TRUE(stack.translate(syn));
  now += MZTCPStack::kIdleTimeout - std::chrono::seconds(1);
  stack.expire();
  EXPECT_EQ(stack.flowCount(), 1u);
  now += std::chrono::seconds(1);
  stack.expire();
  EXPECT_EQ(stack.flowCount(), 0u);

  syn = tcpPacket(client, 7002, ip("203.0.113.20"), 80, 0x02);
  ASSERT_TRUE(stack.translate(syn));
  auto fake = parse(syn).source();
  Bytes fin = tcpPacket(client, 7002, ip("203.0.113.20"), 80, 0x11);
  ASSERT_TRUE(stack.translate(fin));
  Bytes finBack = tcpPacket(client, listen, fake, 7002, 0x11);
  ASSERT_TRUE(stack.translate(finBack));
  now += MZTCPStack::kClosingTimeout;
  stack.expire();
  EXPECT_EQ(stack.flowCount(), 0u);

  for (uint16_t port = 1; port <= 20; ++port) {
    now += std::chrono::seconds(1);
    Bytes s = tcpPacket(client, port, ip("203.0.113.20"), 80, 0x02);
    ASSERT_TRUE(stack.translate(s));
  }
  EXPECT_EQ(stack.flowCount(), 8u);
  // The oldest went first.
  Bytes late = tcpPacket(client, 1, ip("203.0.113.20"), 80, 0x10);
  EXPECT_FALSE(stack.translate(late));
  Bytes recent = tcpPacket(client, 20, ip("203.0.113.20"), 80, 0x10);
  EXPECT_TRUE(stack.translate(recent));
}

TEST(MZDNSServer, AnswersReturnToTheirClientFromTheOriginalDestination) {
  std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
  auto server = std::make_shared<MZDNSServer>("198.51.100.50", 53, [&] { return now; });
  // Two clients use the same transaction id towards different resolvers.
  auto q1 = MZIPv4Packet::buildUDP(ip("192.0.2.1"), 4001, ip("198.18.0.1"), 53, dnsQuery(0x1234));
  auto q2 = MZIPv4Packet::buildUDP(ip("192.0.2.1"), 4002, ip("8.8.8.8"), 53, dnsQuery(0x1234));
  auto up1 = server->prepareQuery(q1);
  auto up2 = server->prepareQuery(q2);
  ASSERT_TRUE(up1 && up2);
  EXPECT_NE((*up1)[0] << 8 | (*up1)[1], (*up2)[0] << 8 | (*up2)[1]);

  auto answer = *up2;
  answer[2] |= 0x80;
  auto packet = server->processDNSRespData(answer);
  ASSERT_TRUE(packet);
  auto p = MZIPv4Packet::packetWithData(*packet, false);
  EXPECT_EQ(p->source(), ip("8.8.8.8"));
  EXPECT_EQ(p->sourcePort(), 53);
  EXPECT_EQ(p->destinationPort(), 4002);
  EXPECT_EQ(p->payload()[8], 0x12);
  EXPECT_EQ(p->payload()[9], 0x34);
  // Answered once only; a query (QR clear) or a short message is not an answer.
  EXPECT_FALSE(server->processDNSRespData(answer));
  EXPECT_FALSE(server->processDNSRespData(*up1));
  EXPECT_FALSE(server->processDNSRespData(Bytes(5, 0)));

  // Unanswered queries expire.
  EXPECT_EQ(server->pendingCount(), 1u);
  now += MZDNSServer::kQueryTimeout;
  auto late = *up1;
  late[2] |= 0x80;
  EXPECT_FALSE(server->processDNSRespData(late));
  EXPECT_EQ(server->pendingCount(), 0u);
}

TEST(MZDNSServer, TakesOnlyQueriesToPort53) {
  auto server = std::make_shared<MZDNSServer>("198.51.100.50");
  auto notDns = MZIPv4Packet::buildUDP(ip("192.0.2.1"), 4001, ip("198.18.0.1"), 54, dnsQuery(1));
  EXPECT_FALSE(server->inputPacket(notDns, 4));
  Bytes response = dnsQuery(1);
  response[2] |= 0x80;
  auto answerLike = MZIPv4Packet::buildUDP(ip("192.0.2.1"), 4001, ip("198.18.0.1"), 53, response);
  EXPECT_FALSE(server->inputPacket(answerLike, 4));
  // Not started: the query is still taken (and dropped) rather than leaking past the stack.
  EXPECT_FALSE(server->active());
  auto query = MZIPv4Packet::buildUDP(ip("192.0.2.1"), 4001, ip("198.18.0.1"), 53, dnsQuery(1));
  EXPECT_TRUE(server->inputPacket(query, 4));
}

}  // namespace
