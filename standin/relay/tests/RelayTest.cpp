// The stand-in relay on loopback: answer types, the IPv4/UDP round trip, fragments, switches.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "Mazzle/MZHelper.h"
#include "Mazzle/MZIPv4Packet.h"
#include "standin/relay/Relay.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using standin::relay::Relay;
using standin::relay::Switches;

namespace {
sockaddr_in addr(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

struct Datagram {
  Bytes bytes;
  std::string from;
};

class Client {
 public:
  Client() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto a = addr("127.0.0.1", 0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  ~Client() { close(fd_); }
  void send(const std::string& ip, uint16_t port, const Bytes& b) {
    auto a = addr(ip, port);
    sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  }
  // Real-time guard; answers on loopback come in microseconds.
  std::optional<Datagram> recv(std::chrono::milliseconds timeout = 2s) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Bytes buf(65536);
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof(ip));
    return Datagram{buf, std::string(ip) + ":" + std::to_string(ntohs(from.sin_port))};
  }

 private:
  int fd_;
};

// Answers each datagram with "echo:" and the datagram.
class EchoServer {
 public:
  EchoServer() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto a = addr("127.0.0.1", 0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      Bytes buf(65536);
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        sockaddr_in from{};
        socklen_t fl = sizeof(from);
        ssize_t n =
            recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 0) continue;
        std::string out = "echo:" + std::string(buf.begin(), buf.begin() + n);
        sendto(fd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
      }
    });
  }
  ~EchoServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
uint32_t typeOf(const Bytes& f) { return Q5Protocol::loadU32(f.data() + 4); }
uint32_t lengthOf(const Bytes& f) { return Q5Protocol::loadU32(f.data()); }
std::string bodyOf(const Bytes& f) { return std::string(f.begin() + 8, f.end()); }

// Inner source of the game's packets; never on the wire, only inside frames.
const uint32_t kGameIP = *MZHelper::ipv4AddrFromLiteral("10.9.0.2");
const uint16_t kGamePort = 5000;
const uint32_t kLoopback = *MZHelper::ipv4AddrFromLiteral("127.0.0.1");

Bytes udpFrame(uint16_t dstPort, const Bytes& payload, const char* nat = "10.0.0.1") {
  Bytes ip = MZIPv4Packet::buildUDP(kGameIP, kGamePort, kLoopback, dstPort, payload);
  return *Q5Protocol::IPPacketWithExit("3-7", 100, 200, 42, 1, nat, ip);
}

struct RelayFixture : ::testing::Test {
  Relay relay;
  Client client;
  uint16_t p1 = relay.addEndpoint("127.0.0.1");
  uint16_t p2 = relay.addEndpoint("127.0.0.2");
  void SetUp() override { ASSERT_TRUE(p1 && p2) << "cannot bind loopback pairs"; }
};
}  // namespace

TEST_F(RelayFixture, AnswersFromThePairAsked) {
  struct Case {
    const char* ip;
    uint16_t RelayFixture::*port;
    Bytes frame;
    uint32_t answerType;
    std::string answerBody;
  } cases[] = {
      {"127.0.0.1", &RelayFixture::p1, Q5Protocol::wrapWithType(100, text(R"({"token":"0"})")), 101,
       ""},
      {"127.0.0.2", &RelayFixture::p2, Q5Protocol::wrapWithType(100, {}), 101, ""},
      {"127.0.0.1", &RelayFixture::p1, Q5Protocol::heartBeatPacketWithMessage("__17"), 501, "__17"},
      {"127.0.0.2", &RelayFixture::p2, Q5Protocol::heartBeatPacketWithMessage("123"), 501, "123"},
  };
  for (const auto& c : cases) {
    uint16_t port = this->*c.port;
    client.send(c.ip, port, c.frame);
    auto got = client.recv();
    ASSERT_TRUE(got) << c.ip;
    EXPECT_EQ(got->from, std::string(c.ip) + ":" + std::to_string(port));
    EXPECT_EQ(typeOf(got->bytes), c.answerType);
    EXPECT_EQ(lengthOf(got->bytes), got->bytes.size());
    EXPECT_EQ(bodyOf(got->bytes), c.answerBody);
  }
}

TEST_F(RelayFixture, DetectFiguresPerAddressAndNat) {
  relay.setDetectFigures("127.0.0.1", "10.0.0.1", {1500, 9, 10});
  relay.setDetectFigures("127.0.0.1", "*", {700, 3, 4});
  relay.setDetectFigures("127.0.0.2", "*", {50, 1, 1});
  struct Case {
    const char* ip;
    uint16_t port;
    const char* nat;
    int64_t delay, reply, total;
  } cases[] = {
      {"127.0.0.1", p1, "10.0.0.1", 1500, 9, 10},
      {"127.0.0.1", p1, "10.0.0.9", 700, 3, 4},
      {"127.0.0.2", p2, "10.0.0.1", 50, 1, 1},
  };
  for (const auto& c : cases) {
    client.send(c.ip, c.port, Q5Protocol::detectPacketWithExit("3-7", 42, 1, c.nat, c.ip, "B"));
    auto got = client.recv();
    ASSERT_TRUE(got);
    EXPECT_EQ(typeOf(got->bytes), 301u);
    auto j = nlohmann::json::parse(bodyOf(got->bytes));
    EXPECT_EQ(j["target_ip"], c.ip);
    EXPECT_EQ(j["nat_ip"], c.nat);
    EXPECT_EQ(j["delay"], c.delay);
    EXPECT_EQ(j["reply_count"], c.reply);
    EXPECT_EQ(j["total_count"], c.total);
  }
}

TEST_F(RelayFixture, DetectBodiesPerPortAndVerbatim) {
  // Two ports of one exact address: per-port entries win over the address's, and a verbatim
  // body carries figures no integer field could (negative, huge, fractional, wrong type).
  uint16_t a = relay.addEndpoint("127.0.0.3");
  uint16_t b = relay.addEndpoint("127.0.0.3");
  ASSERT_TRUE(a && b);
  relay.setDetectFigures("127.0.0.3", "*", {111, 2, 2});
  relay.setDetectFigures("127.0.0.3", a, "*", {-400, 10, 10});
  const std::string verbatim = R"({"delay":1e300,"reply_count":"7","total_count":10.5})";
  relay.setDetectBody("127.0.0.3", b, "TkFU", verbatim);
  struct Case {
    uint16_t port;
    const char* nat;
    std::string body;
  } cases[] = {
      {a, "TkFU",
       R"({"delay":-400,"nat_ip":"TkFU","reply_count":10,"target_ip":"127.0.0.1",)"
       R"("total_count":10})"},
      {b, "TkFU", verbatim},
      {b, "other",
       R"({"delay":111,"nat_ip":"other","reply_count":2,"target_ip":"127.0.0.1",)"
       R"("total_count":2})"},
  };
  for (const auto& c : cases) {
    client.send("127.0.0.3", c.port,
                Q5Protocol::detectPacketWithExit("3-7", 42, 1, c.nat, "127.0.0.1", "B"));
    auto got = client.recv();
    ASSERT_TRUE(got) << c.body;
    EXPECT_EQ(got->from, "127.0.0.3:" + std::to_string(c.port));
    EXPECT_EQ(typeOf(got->bytes), 301u);
    EXPECT_EQ(lengthOf(got->bytes), got->bytes.size());
    EXPECT_EQ(bodyOf(got->bytes), c.body);
  }
}

TEST_F(RelayFixture, PairsOfOnePortOnTwoAddressesAreIndependent) {
  // Probe sockets are connected: an answer must come from the exact address and port asked.
  uint16_t port = relay.addEndpoint("127.0.0.3");
  ASSERT_NE(port, 0);
  ASSERT_EQ(relay.addEndpoint("127.0.0.2", port), port);
  Switches silent, body;
  silent.silent = true;
  body.detectBody = "not json";
  relay.setSwitches("127.0.0.2", port, silent);
  relay.setSwitches("127.0.0.3", port, body);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  auto to = addr("127.0.0.3", port);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
  auto frame = Q5Protocol::detectPacketWithExit("3-7", 42, 1, "TkFU", "127.0.0.1", "B");
  ASSERT_EQ(send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  Bytes buf(2048);
  ssize_t n = recv(fd, buf.data(), buf.size(), 0);
  close(fd);
  ASSERT_GT(n, 8);
  buf.resize(static_cast<size_t>(n));
  EXPECT_EQ(typeOf(buf), 301u);
  EXPECT_EQ(bodyOf(buf), "not json");
}

TEST_F(RelayFixture, CopiesRepeatEachAnswer) {
  Switches twice;
  twice.copies = 2;
  relay.setSwitches("127.0.0.1", p1, twice);
  client.send("127.0.0.1", p1, Q5Protocol::wrapWithType(100, {}));
  for (int i = 0; i < 2; ++i) {
    auto got = client.recv();
    ASSERT_TRUE(got) << "answer " << i;
    EXPECT_EQ(typeOf(got->bytes), 101u);
  }
  EXPECT_FALSE(client.recv(50ms));
}

TEST_F(RelayFixture, IPPacketHeaderIsRecordedFieldByField) {
  // The filter sends the exit's NAT text as stored, Base64 of the dotted address; the tunnel
  // engine sends it dotted. Both are carried.
  EchoServer echo;
  for (const char* nat : {"MTAuMC4wLjE=", "10.0.0.1"}) {
    SCOPED_TRACE(nat);
    relay.clearRecords();
    Bytes ip = MZIPv4Packet::buildUDP(kGameIP, kGamePort, kLoopback, echo.port(), text("hdr"));
    client.send("127.0.0.1", p1, *Q5Protocol::IPPacketWithExit("3-7", 100, 200, 42, 5, nat, ip));
    ASSERT_TRUE(client.recv());
    auto records = relay.records();
    ASSERT_FALSE(records.empty());
    const auto& r = records[0];
    EXPECT_EQ(r.note, "udp forwarded");
    ASSERT_TRUE(r.header);
    EXPECT_EQ(r.header->exit, 196615u);
    EXPECT_EQ(r.header->tx, 100);
    EXPECT_EQ(r.header->rx, 200);
    EXPECT_EQ(r.header->flowId, 42u);
    EXPECT_EQ(r.header->level, 5);
    EXPECT_EQ(r.header->nat, nat);
    EXPECT_EQ(r.header->natAddress, "10.0.0.1");
    auto j = nlohmann::json::parse(standin::relay::recordJSON(r));
    EXPECT_EQ(j["exit"], 196615);
    EXPECT_EQ(j["flow_id"], 42);
    EXPECT_EQ(j["level"], 5);
    EXPECT_EQ(j["rx"], 200);
    EXPECT_EQ(j["tx"], 100);
    EXPECT_EQ(j["nat"], nat);
    EXPECT_EQ(j["nat_address"], "10.0.0.1");
    EXPECT_NE(j["inner"].get<std::string>().find("UDP 10.9.0.2:5000"), std::string::npos);
  }
}

TEST_F(RelayFixture, UdpRoundTripThroughFrames) {
  EchoServer echo;
  client.send("127.0.0.1", p1, udpFrame(echo.port(), text("ping")));
  auto got = client.recv();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->from, "127.0.0.1:" + std::to_string(p1));
  EXPECT_EQ(typeOf(got->bytes), 401u);
  EXPECT_EQ(lengthOf(got->bytes), got->bytes.size());
  Bytes inner(got->bytes.begin() + 8, got->bytes.end());
  auto packet = MZIPv4Packet::packetWithData(inner, false);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->source(), kLoopback);
  EXPECT_EQ(packet->sourcePort(), echo.port());
  EXPECT_EQ(packet->destination(), kGameIP);
  EXPECT_EQ(packet->destinationPort(), kGamePort);
  auto payload = packet->payload();
  EXPECT_EQ(std::string(payload.begin() + 8, payload.end()), "echo:ping");
  // Checksums as sent are the ones a fresh computation gives.
  auto check = MZIPv4Packet::packetWithData(inner, false);
  check->updateChecksum();
  EXPECT_EQ(check->rawData(), inner);

  // The same flow reuses its socket: the echo sees the same source port both times.
  client.send("127.0.0.1", p1, udpFrame(echo.port(), text("again")));
  auto second = client.recv();
  ASSERT_TRUE(second);
  auto p2nd =
      MZIPv4Packet::packetWithData(Bytes(second->bytes.begin() + 8, second->bytes.end()), false);
  ASSERT_TRUE(p2nd);
  auto pl = p2nd->payload();
  EXPECT_EQ(std::string(pl.begin() + 8, pl.end()), "echo:again");
}

TEST_F(RelayFixture, LargeAnswersComeInFragments) {
  EchoServer echo;
  relay.setFragmentMTU(576);
  Bytes big(1400);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>('a' + i % 26);
  client.send("127.0.0.1", p1, udpFrame(echo.port(), big));
  MZIPv4Packet::Reassembler reassembler;
  std::optional<Bytes> whole;
  int frames = 0;
  while (!whole) {
    auto got = client.recv();
    ASSERT_TRUE(got) << "after " << frames << " fragments";
    ASSERT_EQ(typeOf(got->bytes), 401u);
    ++frames;
    Bytes inner(got->bytes.begin() + 8, got->bytes.end());
    EXPECT_LE(inner.size(), 576u);
    EXPECT_TRUE(MZIPv4Packet::fragmentPacket(inner));
    whole = reassembler.add(inner);
  }
  EXPECT_GE(frames, 3);
  auto packet = MZIPv4Packet::packetWithData(*whole, false);
  ASSERT_TRUE(packet);
  auto payload = packet->payload();
  EXPECT_EQ(std::string(payload.begin() + 8, payload.end()),
            "echo:" + std::string(big.begin(), big.end()));
}

TEST_F(RelayFixture, OtherAndBadInnerPacketsAreOnlyRecorded) {
  Bytes icmp = MZIPv4Packet::buildIPv4(kGameIP, kLoopback, 1, Bytes{8, 0, 0xf7, 0xff, 0, 0, 0, 0});
  struct Case {
    Bytes frame;
    const char* note;
  } cases[] = {
      {*Q5Protocol::IPPacketWithExit("1-1", 0, 0, 1, 1, "10.0.0.1", icmp),
       "inner protocol 1 recorded"},
      {Q5Protocol::wrapWithType(400, Bytes(20, 0)), "bad header: short"},
      {udpFrame(9, text("x"), "not-an-ip"), "bad header: nat"},
      {*Q5Protocol::IPPacketWithExit("1-1", 0, 0, 1, 1, "10.0.0.1", Bytes(30, 0x45)),
       "bad inner packet"},
      {Bytes{1, 2, 3}, "short datagram"},
  };
  for (const auto& c : cases) {
    relay.clearRecords();
    client.send("127.0.0.1", p1, c.frame);
    ASSERT_TRUE(relay.waitFor([](const auto& r) { return !r.empty(); }, 2s)) << c.note;
    auto records = relay.records();
    ASSERT_EQ(records.size(), 1u) << c.note;
    EXPECT_TRUE(records[0].incoming);
    EXPECT_EQ(records[0].note, c.note);
    EXPECT_FALSE(client.recv(50ms)) << c.note;
  }
}

TEST_F(RelayFixture, Switches) {
  EchoServer echo;
  auto probe = Q5Protocol::wrapWithType(100, {});
  auto detect = Q5Protocol::detectPacketWithExit("3-7", 42, 1, "10.0.0.1", "127.0.0.1", "B");
  struct Case {
    const char* name;
    Switches sw;
    Bytes frame;
    // Checks the answer; nullptr means no answer is expected.
    std::function<void(const Bytes&)> check;
  };
  auto make = [](auto edit) {
    Switches s;
    edit(s);
    return s;
  };
  std::vector<Case> cases = {
      {"silent", make([](Switches& s) { s.silent = true; }), probe, nullptr},
      {"silent heartbeat", make([](Switches& s) { s.silentHeartbeat = true; }),
       Q5Protocol::heartBeatPacketWithMessage("__3"), nullptr},
      {"silent heartbeat answers probes", make([](Switches& s) { s.silentHeartbeat = true; }),
       Q5Protocol::heartBeatPacketWithMessage("3"),
       [](const Bytes& b) { EXPECT_EQ(bodyOf(b), "3"); }},
      {"garbage", make([](Switches& s) { s.garbage = true; }), probe,
       [](const Bytes& b) { EXPECT_TRUE(b.size() < 8 || typeOf(b) != 101); }},
      {"wrong type", make([](Switches& s) { s.wrongType = true; }), probe,
       [](const Bytes& b) { EXPECT_EQ(typeOf(b), 999u); }},
      {"wrong length", make([](Switches& s) { s.wrongLength = true; }), probe,
       [](const Bytes& b) { EXPECT_EQ(lengthOf(b), b.size() + 1); }},
      {"detect not object", make([](Switches& s) { s.detectNotObject = true; }), detect,
       [](const Bytes& b) { EXPECT_TRUE(nlohmann::json::parse(bodyOf(b)).is_array()); }},
      {"detect zero total", make([](Switches& s) { s.detectZeroTotal = true; }), detect,
       [](const Bytes& b) { EXPECT_EQ(nlohmann::json::parse(bodyOf(b))["total_count"], 0); }},
      {"ip overclaim", make([](Switches& s) { s.ipOverclaim = true; }),
       udpFrame(echo.port(), text("x")),
       [](const Bytes& b) {
         Bytes inner(b.begin() + 8, b.end());
         ASSERT_GE(inner.size(), 20u);
         EXPECT_GT(static_cast<size_t>(inner[2] << 8 | inner[3]), inner.size());
         EXPECT_FALSE(MZIPv4Packet::packetWithData(inner, false));
       }},
  };
  for (const auto& c : cases) {
    relay.setSwitches("127.0.0.1", p1, c.sw);
    client.send("127.0.0.1", p1, c.frame);
    auto got = client.recv(c.check ? 2000ms : 100ms);
    if (!c.check) {
      EXPECT_FALSE(got) << c.name;
      continue;
    }
    ASSERT_TRUE(got) << c.name;
    SCOPED_TRACE(c.name);
    c.check(got->bytes);
  }
  // Switches belong to one pair: the other still answers normally.
  relay.setSwitches("127.0.0.1", p1, make([](Switches& s) { s.silent = true; }));
  client.send("127.0.0.2", p2, probe);
  auto other = client.recv();
  ASSERT_TRUE(other);
  EXPECT_EQ(typeOf(other->bytes), 101u);
}

TEST_F(RelayFixture, SlowAnswersComeLate) {
  Switches slow;
  slow.delay = 200ms;
  relay.setSwitches("127.0.0.1", p1, slow);
  auto start = std::chrono::steady_clock::now();
  client.send("127.0.0.1", p1, Q5Protocol::wrapWithType(100, {}));
  EXPECT_FALSE(client.recv(50ms));
  auto got = client.recv();
  ASSERT_TRUE(got);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  EXPECT_EQ(typeOf(got->bytes), 101u);
}

TEST_F(RelayFixture, RecordsEveryFrameAsJsonLines) {
  auto path = std::filesystem::temp_directory_path() /
              ("relay-records-" + std::to_string(getpid()) + ".jsonl");
  std::filesystem::remove(path);
  ASSERT_TRUE(relay.setRecordFile(path));
  client.send("127.0.0.1", p1, Q5Protocol::heartBeatPacketWithMessage("__1"));
  ASSERT_TRUE(client.recv());
  ASSERT_TRUE(relay.waitFor([](const auto& r) { return r.size() >= 2; }, 2s));
  std::ifstream in(path);
  std::vector<nlohmann::json> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(nlohmann::json::parse(l));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["dir"], "in");
  EXPECT_EQ(lines[0]["type"], 500);
  EXPECT_EQ(lines[0]["body"], "5f5f31");
  EXPECT_EQ(lines[1]["dir"], "out");
  EXPECT_EQ(lines[1]["type"], 501);
  EXPECT_EQ(lines[1]["local"], "127.0.0.1:" + std::to_string(p1));
  std::filesystem::remove(path);
}
