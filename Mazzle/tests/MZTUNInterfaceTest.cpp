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

Bytes tcpPacket(uint32_t src, uint16_t sp, uint32_t dst, uint16_t dp, uint8_t flags,
                size_t payload = 0) {
  Bytes tcp(20 + payload, 0);
  for (size_t i = 0; i < payload; ++i) tcp[20 + i] = uint8_t(i * 13 + 1);
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

// The packet as a device with offloads hands it over: its TCP checksum field holding only the
// pseudo-header's sum, folded.
platform::netext::Offload leavePartial(Bytes& p, uint16_t mss = 0) {
  uint32_t sum = 6 + uint32_t(p.size() - 20);
  for (size_t i = 12; i < 20; i += 2) sum += uint32_t(p[i] << 8 | p[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  p[36] = uint8_t(sum >> 8), p[37] = uint8_t(sum);
  platform::netext::Offload o;
  o.flags = platform::netext::Offload::kNeedsChecksum;
  o.checksumStart = 20;
  o.checksumOffset = 16;
  if (mss) {
    o.gsoType = platform::netext::Offload::kGsoTCPv4;
    o.gsoSize = mss;
    o.headerLength = 40;
  }
  return o;
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

// A TCP packet handed over large or partial goes whole to the first stack that takes it whole,
// after stacks that say it is not theirs; one that may want it gets plain, sound segments.
TEST(MZTUNInterface, LargeTCPPacketsGoWholeOnlyWhereTheyAreTakenWhole) {
  using Offer = MZIPStackProtocol::WholeOffer;
  struct Stack : MZIPStackProtocol {
    Stack(Offer answer, bool takes) : answer(answer), takes(takes) {}
    bool inputPacket(std::span<const uint8_t> p, int) override {
      plain.emplace_back(p.begin(), p.end());
      return takes;
    }
    Offer offerWhole(std::span<uint8_t> p, const platform::netext::Offload&) override {
      whole.emplace_back(p.begin(), p.end());
      return answer;
    }
    Offer answer;
    bool takes;
    std::vector<Bytes> plain, whole;
  };
  struct Case {
    Offer first, second;
    bool taken;
    size_t firstPlain, secondWhole, secondPlain;
  };
  const Case cases[] = {
      {Offer::kNotMine, Offer::kTaken, true, 0, 1, 0},
      {Offer::kSegments, Offer::kTaken, true, 3, 0, 0},
      {Offer::kNotMine, Offer::kNotMine, false, 0, 1, 0},
      {Offer::kNotMine, Offer::kSegments, true, 3, 1, 0},
  };
  for (const auto& c : cases) {
    MZTUNInterface interface(nullptr);
    auto a = std::make_shared<Stack>(c.first, true), b = std::make_shared<Stack>(c.second, true);
    interface.registerStack(a);
    interface.registerStack(b);
    Bytes big = tcpPacket(ip("192.0.2.1"), 5000, ip("203.0.113.20"), 80, 0x18, 2500);
    auto offload = leavePartial(big, 1000);
    EXPECT_EQ(interface.offer(std::span<uint8_t>(big), offload), c.taken);
    EXPECT_EQ(a->whole.size(), 1u);
    EXPECT_EQ(a->plain.size(), c.firstPlain);
    EXPECT_EQ(b->whole.size(), c.secondWhole);
    EXPECT_EQ(b->plain.size(), c.secondPlain);
    for (const auto& segment : a->plain) {
      Bytes copy = segment;
      auto check = MZIPv4Packet::packetWithData(copy, false);
      ASSERT_TRUE(check);
      check->updateChecksum();
      EXPECT_EQ(check->rawData(), segment) << "segment checksums";
    }
  }
  // Anything but TCP is finished and offered as usual, never whole.
  MZTUNInterface interface(nullptr);
  auto a = std::make_shared<Stack>(Offer::kTaken, true);
  interface.registerStack(a);
  Bytes udp = MZIPv4Packet::buildUDP(ip("192.0.2.1"), 1000, ip("203.0.113.1"), 9, Bytes{1, 2, 3});
  const Bytes sound = udp;
  udp[26] = udp[27] = 0x5A;
  platform::netext::Offload partial;
  partial.flags = platform::netext::Offload::kNeedsChecksum;
  partial.checksumStart = 20;
  partial.checksumOffset = 6;
  // The field as the kernel leaves it: the pseudo-header's sum.
  uint32_t sum = 17 + 11;
  for (size_t i = 12; i < 20; i += 2) sum += uint32_t(udp[i] << 8 | udp[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  udp[26] = uint8_t(sum >> 8), udp[27] = uint8_t(sum);
  EXPECT_TRUE(interface.offer(std::span<uint8_t>(udp), partial));
  EXPECT_TRUE(a->whole.empty());
  ASSERT_EQ(a->plain.size(), 1u);
  EXPECT_EQ(a->plain[0], sound);
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

// Translated with the checksum the kernel left to finish, a segment ends up as the same bytes as
// the one translated with its checksum complete, both ways.
TEST_F(NatFixture, PartialChecksumsTranslateForTheKernelToFinish) {
  Bytes syn = tcpPacket(client, 5555, ip("203.0.113.20"), 8080, 0x02);
  ASSERT_TRUE(stack.translate(syn));
  const uint32_t fake = parse(syn).source();
  const Bytes packets[] = {tcpPacket(client, 5555, ip("203.0.113.20"), 8080, 0x18, 1001),
                           tcpPacket(client, listen, fake, 5555, 0x18, 3000),
                           tcpPacket(client, 5555, ip("203.0.113.20"), 8080, 0x10)};
  for (const auto& original : packets) {
    Bytes whole = original;
    ASSERT_TRUE(stack.translate(whole));
    Bytes partial = original;
    auto offload = leavePartial(partial);
    size_t length = 0;
    ASSERT_TRUE(stack.translate(std::span<uint8_t>(partial), true, length));
    EXPECT_EQ(length, partial.size());
    std::vector<Bytes> finished;
    ASSERT_TRUE(platform::netext::finishOffloaded(
        partial, offload,
        [&](std::span<const uint8_t> p) { finished.emplace_back(p.begin(), p.end()); }));
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0], whole);
  }
  // A packet of no flow is not taken, and left as it was.
  stack.setWholeOutputFunc([](std::span<const uint8_t>, const platform::netext::Offload&) {});
  Bytes stray = tcpPacket(client, 6001, ip("203.0.113.20"), 8080, 0x18, 10);
  auto offload = leavePartial(stray, 536);
  const Bytes before = stray;
  EXPECT_EQ(stack.offerWhole(stray, offload), MZIPStackProtocol::WholeOffer::kNotMine);
  EXPECT_EQ(stray, before);
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
