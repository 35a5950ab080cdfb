// The engine's tunnel-kit adapters: rule controller, masked HTTP adapter, domain recorder and
// DNS server stack.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "../../tests/TestLogger.h"
#include "Brevant/Brevant.h"
#include "Galvent/Tunnel/Adapter/GVDNSServer.h"
#include "Galvent/Tunnel/Adapter/GVDomainRecorder.h"
#include "Galvent/Tunnel/Adapter/GVHTTPAdapter.h"
#include "Galvent/Tunnel/Adapter/GVTCPRuleController.h"
#include "Mazzle/MZHelper.h"
#include "Mazzle/MZIPv4Packet.h"
#include "standin/MaskedConnectProxy.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t ip(const char* text) { return *MZHelper::ipv4AddrFromLiteral(text); }

GVTunnelOptions withProxy(std::vector<std::string> domains, int port = 3128) {
  GVTunnelOptions o = GVTunnelOptions::defaultOptions();
  o.logEnable = true;
  o.httpsProxyServer = "127.0.0.1";
  o.httpsProxyPort = port;
  o.httpsProxyMatchDomains = std::move(domains);
  return o;
}

MZConnectSession sessionTo(std::string host) {
  MZConnectSession s;
  s.destinationIP = ip("203.0.113.20");
  s.destinationPort = 443;
  s.domainHost = std::move(host);
  return s;
}

TEST(GVTCPRuleController, ListedDomainsGoThroughTheProxyAnywhereInTheName) {
  struct Case {
    std::vector<std::string> domains;
    std::string host;
    bool proxied;
  };
  const Case cases[] = {
      {{}, "proxied.example", false},
      {{"proxied.example"}, "proxied.example", true},
      {{"proxied.example"}, "cdn.proxied.example.net", true},
      {{"proxied.example"}, "PROXIED.example", false},
      {{"other", "proxied"}, "www.proxied.example", true},
      {{""}, "anything.example", false},
      {{"proxied.example"}, "203.0.113.20", false},
  };
  for (const auto& c : cases) {
    LoggingScope scope(withProxy(c.domains));
    GVTCPRuleController controller;
    auto factory = controller.matchSession(sessionTo(c.host));
    EXPECT_EQ(factory == controller.httpAdapterFactory(), c.proxied) << c.host;
    if (!c.proxied) {
      EXPECT_EQ(factory, MZDirectAdapterFactory::shared()) << c.host;
    }
  }
  LoggingScope scope(withProxy({"x"}, 8443));
  GVTCPRuleController controller;
  EXPECT_EQ(controller.httpAdapterFactory()->serverHost(), "127.0.0.1");
  EXPECT_EQ(controller.httpAdapterFactory()->serverPort(), 8443);
}

TEST(GVHTTPAdapter, MaskingTwiceGivesTheDataBack) {
  GVHTTPAdapter adapter("127.0.0.1", 1, std::nullopt);
  const Bytes data = {0x00, 0x5a, 0xff, 'C', 'O'};
  auto masked = adapter.encodeData(data);
  EXPECT_EQ(masked, (Bytes{0x5a, 0x00, 0xa5, 'C' ^ 0x5a, 'O' ^ 0x5a}));
  EXPECT_EQ(adapter.encodeData(masked), data);
  EXPECT_TRUE(adapter.encodeData({}).empty());
}

// A plain TCP echo on loopback as the proxy's target.
struct Echo {
  int fd = -1;
  uint16_t port = 0;
  std::thread thread;
  Echo() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread = std::thread([this] {
      int c = ::accept(fd, nullptr, nullptr);
      if (c < 0) return;
      char b[256];
      ssize_t n;
      while ((n = ::recv(c, b, sizeof b, 0)) > 0) ::send(c, b, size_t(n), MSG_NOSIGNAL);
      ::close(c);
    });
  }
  ~Echo() {
    ::shutdown(fd, SHUT_RDWR);
    thread.join();
    ::close(fd);
  }
};

TEST(GVHTTPAdapter, ConnectsThroughTheMaskedProxyAndRelaysMaskedData) {
  Echo echo;
  standin::MaskedConnectProxy proxy;
  ASSERT_EQ(proxy.start(), 0);
  GVHTTPAdapterFactory factory("127.0.0.1", proxy.port());
  MZConnectSession session;
  session.destinationIP = ip("127.0.0.1");
  session.destinationPort = echo.port;
  session.domainHost = "localhost";
  auto adapter = factory.getAdapterForSession(session);
  std::string error;
  int fd = adapter->open(session, error);
  ASSERT_GE(fd, 0) << error;
  EXPECT_EQ(proxy.requests(), std::vector<std::string>{
                                  "CONNECT localhost:" + std::to_string(echo.port) + " HTTP/1.1"});
  const Bytes hello = {'h', 'i', 0x5a};
  auto wire = adapter->encodeOutgoing(hello);
  ASSERT_EQ(::send(fd, wire.data(), wire.size(), 0), 3);
  uint8_t back[16];
  ssize_t n = ::recv(fd, back, 3, MSG_WAITALL);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(adapter->decodeIncoming(std::span(back, 3)), hello);
  ::close(fd);
  proxy.stop();
}

TEST(GVHTTPAdapter, OnlyA200StatusLineAccepts) {
  struct Case {
    const char* header;
    bool accepted;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 Connection established\r\n\r\n", true},
      {"HTTP/1.0 200\r\n\r\n", true},
      {"HTTP/1.1 2000 Nope\r\n\r\n", false},
      {"HTTP/1.1 403 Forbidden\r\n\r\n", false},
      {"NOT HTTP AT ALL\r\n\r\n", false},
      {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MZHTTPAdapter::acceptsAnswer(c.header), c.accepted) << c.header;

  standin::MaskedConnectProxy proxy;
  ASSERT_EQ(proxy.start(), 0);
  for (auto mode :
       {standin::MaskedConnectProxy::Mode::Refuse, standin::MaskedConnectProxy::Mode::Garbage}) {
    proxy.setMode(mode);
    GVHTTPAdapterFactory factory("127.0.0.1", proxy.port());
    auto adapter = factory.getAdapterForSession(sessionTo("proxied.example"));
    std::string error;
    EXPECT_LT(adapter->open(sessionTo("proxied.example"), error), 0);
    EXPECT_NE(error.find("refused CONNECT"), std::string::npos) << error;
  }
}

Bytes dnsAnswer(uint16_t id, const std::string& label, const std::string& tld, uint32_t addr) {
  Bytes m = {uint8_t(id >> 8), uint8_t(id), 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
  m.push_back(uint8_t(label.size()));
  m.insert(m.end(), label.begin(), label.end());
  m.push_back(uint8_t(tld.size()));
  m.insert(m.end(), tld.begin(), tld.end());
  for (uint8_t b : Bytes{0, 0, 1, 0, 1, 0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4}) m.push_back(b);
  for (int s = 24; s >= 0; s -= 8) m.push_back(uint8_t(addr >> s));
  return m;
}

TEST(GVDomainRecorder, NamesLearnedAddressesAndOthersByTheirText) {
  brevant::DomainTable table;
  GVDomainRecorder recorder(&table);
  EXPECT_EQ(recorder.domainFromIP("203.0.113.10"), "203.0.113.10");
  EXPECT_EQ(recorder.domainFromIP("not an address"), "not an address");
  table.record(ip("203.0.113.10"), "game.example");
  EXPECT_EQ(recorder.domainFromIP("203.0.113.10"), "game.example");
}

TEST(GVDNSServer, LearnsAnswersAndWarnsWhileNotActive) {
  LoggingScope scope(withProxy({}));
  brevant::DomainTable table;
  auto server = std::make_shared<GVDNSServer>("198.51.100.50", &table);
  Bytes query = {0x12, 0x34, 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  for (char c : std::string("\x04game\x07"
                            "example\x00\x00\x01\x00\x01",
                            18))
    query.push_back(uint8_t(c));
  auto packet = MZIPv4Packet::buildUDP(ip("192.0.2.1"), 4000, ip("198.18.0.1"), 53, query);
  // Before start: warned, still handed to the base, which takes it.
  EXPECT_TRUE(server->inputPacket(packet, 4));
  auto lines = scope.logger->lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "W DNS server 198.51.100.50 not active yet!"),
            lines.end());

  auto upstream = server->prepareQuery(packet);
  ASSERT_TRUE(upstream);
  uint16_t id = uint16_t((*upstream)[0] << 8 | (*upstream)[1]);
  auto answer = server->processDNSRespData(dnsAnswer(id, "game", "example", ip("203.0.113.10")));
  ASSERT_TRUE(answer);
  EXPECT_EQ(brevant::domain_of_ip(table, ip("203.0.113.10")), "game.example");
  auto p = MZIPv4Packet::packetWithData(*answer, false);
  EXPECT_EQ(p->source(), ip("198.18.0.1"));
  server->didCancel("x");
  lines = scope.logger->lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "I DNS socket x did cancelled."), lines.end());
}

}  // namespace
