// The kit's stacks on a real TUN device inside a private network namespace: sockets of the test
// reach addresses on a veth interface through the tunnel (policy routing sends unmarked traffic
// into the TUN, the stacks' marked sockets bypass it).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <thread>

#include "Mazzle/MZDNSServer.h"
#include "Mazzle/MZProxyServer.h"
#include "Mazzle/MZRawSocketFactory.h"
#include "Mazzle/MZTCPStack.h"
#include "Mazzle/MZTUNInterface.h"
#include "Mazzle/MZUDPDirectStack.h"
#include "platform/netext/NetworkSettings.h"
#include "systest/Systest.h"

namespace {

constexpr uint32_t kMark = 0x47560001;
constexpr uint32_t kTable = 5160;

// A socket made inside `netns`, or in the caller's namespace when null.
int socketIn(const systest::Netns* netns, int type) {
  std::optional<systest::Netns::Enter> in;
  if (netns && !in.emplace(*netns).entered()) return -1;
  return ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
}

int udpSocket(const char* bindAddr, uint16_t port, const systest::Netns* netns = nullptr) {
  int fd = socketIn(netns, SOCK_DGRAM);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, bindAddr, &a.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  timeval tv{3, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

sockaddr_in to(const char* addr, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, addr, &a.sin_addr);
  return a;
}

// Answers every datagram with "echo:" and the data, from the address it arrived at.
struct UdpEcho {
  int fd;
  std::thread thread;
  // dns: answers a query with itself, QR bit set, like a resolver with nothing to add.
  UdpEcho(const char* addr, uint16_t port, const systest::Netns* netns, bool dns = false)
      : fd(udpSocket(addr, port, netns)) {
    thread = std::thread([this, dns] {
      char b[2048];
      for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
          if (errno == EAGAIN) continue;
          return;
        }
        if (n == 4 && std::string(b, 4) == "quit") return;
        std::string reply = "echo:" + std::string(b, size_t(n));
        if (dns && n >= 12) {
          b[2] = char(b[2] | 0x80);
          reply.assign(b, size_t(n));
        }
        ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    });
  }
  ~UdpEcho() {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    thread.join();
  }
};

class StacksNetns : public ::testing::Test {
 protected:
  // The test's own namespace holds the TUN and the client sockets; the servers live in a second
  // one behind a veth pair, so that traffic to them is routed (addresses of our own would be
  // delivered locally, never through the TUN). The main thread stays inside the first for the
  // whole suite, so the stacks' threads, made meanwhile, live there too.
  struct World {
    systest::Netns client{systest::uniqueName("gvs-c")};
    systest::Netns peer{systest::uniqueName("gvs")};
    std::unique_ptr<systest::Netns::Enter> inside;
    bool ok = false;
    World() {
      ok = client.valid() && peer.valid() &&
           systest::veth(client, "gvva", "198.51.100.1/24", peer, "gvvb", "198.51.100.50/24") &&
           client.ok("ip route add 203.0.113.0/24 via 198.51.100.50") &&
           peer.ok("ip addr add 203.0.113.1/32 dev lo && ip addr add 203.0.113.2/32 dev lo");
      if (ok) {
        inside = std::make_unique<systest::Netns::Enter>(client);
        ok = inside->entered();
      }
    }
    // Out again before the namespaces go: their clean-up kills what is still inside.
    ~World() { inside.reset(); }
  };
  static void SetUpTestSuite() {
    if (systest::skipReason().empty()) world_ = new World;
  }
  static void TearDownTestSuite() {
    delete world_;
    world_ = nullptr;
  }
  static inline World* world_ = nullptr;
  static const systest::Netns* peer() { return &world_->peer; }
  void SetUp() override {
    if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
    ASSERT_TRUE(world_ && world_->ok) << "namespace setup failed";
    MZRawSocketFactory::sharedInstance().setMark(kMark);
    flow_ = std::make_shared<platform::netext::PacketFlow>();
    ASSERT_EQ(flow_->open("gvtun%d"), 0);
    applier_ =
        std::make_unique<platform::netext::RtnetlinkSettingsApplier>(flow_->name(), kMark, kTable);
    platform::netext::NetworkSettings settings;
    platform::netext::IPv4Settings v4;
    v4.addresses = {"192.0.2.1"};
    v4.subnetMasks = {"255.255.255.0"};
    v4.includedRoutes = {platform::netext::IPv4Route::defaultRoute()};
    settings.ipv4Settings = v4;
    settings.mtu = 1400;
    auto error = applier_->apply(&settings);
    ASSERT_FALSE(error) << error->description;
    interface_ = std::make_shared<MZTUNInterface>(flow_);
  }
  void TearDown() override {
    if (interface_) interface_->terminal();
    if (applier_) applier_->apply(nullptr);
    MZRawSocketFactory::sharedInstance().reset();
  }
  std::shared_ptr<platform::netext::PacketFlow> flow_;
  std::unique_ptr<platform::netext::RtnetlinkSettingsApplier> applier_;
  std::shared_ptr<MZTUNInterface> interface_;
};

std::string exchange(int fd, const sockaddr_in& dest, const std::string& text) {
  ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
  char b[2048];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = ::recvfrom(fd, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return "<nothing>";
  char addr[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
  return std::string(addr) + ":" + std::to_string(ntohs(from.sin_port)) + " " +
         std::string(b, size_t(n));
}

TEST_F(StacksNetns, UdpGoesDirectAndIdleSocketsExpire) {
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  auto udp = std::make_shared<MZUDPDirectStack>([&] { return now; });
  interface_->registerStack(udp);
  interface_->start();
  UdpEcho a("203.0.113.1", 9999, peer()), b("203.0.113.2", 9999, peer());
  int client = udpSocket("0.0.0.0", 0);
  EXPECT_EQ(exchange(client, to("203.0.113.1", 9999), "one"), "203.0.113.1:9999 echo:one");
  EXPECT_EQ(exchange(client, to("203.0.113.2", 9999), "two"), "203.0.113.2:9999 echo:two");
  EXPECT_EQ(udp->flowCount(), 2u);
  now += MZUDPDirectStack::kIdleTimeout;
  udp->expire();
  EXPECT_EQ(udp->flowCount(), 0u);
  // A new datagram after expiry opens a fresh socket.
  EXPECT_EQ(exchange(client, to("203.0.113.1", 9999), "three"), "203.0.113.1:9999 echo:three");
  ::close(client);
}

// A refusal (nobody listening yet, reported by ICMP) does not end the flow: once the server is
// up, the same flow's answers come back.
TEST_F(StacksNetns, UdpFlowOutlivesARefusal) {
  auto udp = std::make_shared<MZUDPDirectStack>();
  interface_->registerStack(udp);
  interface_->start();
  int client = udpSocket("0.0.0.0", 0);
  timeval brief{0, 300000};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
  EXPECT_EQ(exchange(client, to("203.0.113.1", 9998), "early"), "<nothing>");
  UdpEcho late("203.0.113.1", 9998, peer());
  timeval normal{3, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &normal, sizeof normal);
  EXPECT_EQ(exchange(client, to("203.0.113.1", 9998), "late"), "203.0.113.1:9998 echo:late");
  EXPECT_EQ(udp->flowCount(), 1u);
  ::close(client);
}

TEST_F(StacksNetns, DnsQueriesAreForwardedAndAnsweredFromTheOriginalDestination) {
  UdpEcho upstream("203.0.113.2", 53, peer(), true);
  auto dns = std::make_shared<MZDNSServer>("203.0.113.2");
  interface_->registerStack(dns);
  interface_->start();
  for (int i = 0; i < 50 && !dns->active(); ++i) std::this_thread::yield();
  ASSERT_TRUE(dns->active());
  int client = udpSocket("0.0.0.0", 0);
  std::string query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
  std::string answer = query;
  answer[2] = char(answer[2] | 0x80);
  // The answer carries the client's own id and comes from the address the client asked.
  EXPECT_EQ(exchange(client, to("198.18.0.1", 53), query), "198.18.0.1:53 " + answer);
  EXPECT_EQ(dns->pendingCount(), 0u);
  ::close(client);
}

TEST_F(StacksNetns, TcpConnectionsFromOneSourcePortToTwoDestinationsDoNotCollide) {
  auto tcp = std::make_shared<MZTCPStack>();
  auto server = std::make_shared<MZProxyServer>(tcp);
  ASSERT_EQ(server->start(), 0);
  tcp->setProxyServer(server);
  interface_->registerStack(tcp);
  interface_->start();
  // Two listeners that name themselves.
  std::vector<std::thread> threads;
  std::vector<int> listeners;
  for (const char* addr : {"203.0.113.1", "203.0.113.2"}) {
    int l = socketIn(peer(), SOCK_STREAM);
    auto a = to(addr, 8080);
    ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::listen(l, 4);
    listeners.push_back(l);
    threads.emplace_back([l, name = std::string(addr)] {
      int c = ::accept(l, nullptr, nullptr);
      if (c < 0) return;
      ::send(c, name.data(), name.size(), MSG_NOSIGNAL);
      ::close(c);
    });
  }
  std::vector<std::string> got;
  for (const char* addr : {"203.0.113.1", "203.0.113.2"}) {
    int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(c, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    auto local = to("0.0.0.0", 45678);
    ASSERT_EQ(::bind(c, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    timeval tv{5, 0};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    auto dest = to(addr, 8080);
    ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&dest), sizeof dest), 0) << addr;
    char b[64];
    ssize_t n = ::recv(c, b, sizeof b, MSG_WAITALL);
    got.push_back(n > 0 ? std::string(b, size_t(n)) : "<nothing>");
    ::close(c);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"203.0.113.1", "203.0.113.2"}));
  EXPECT_EQ(tcp->flowCount(), 2u) << "both connections went through the translation";
  for (int l : listeners) {
    ::shutdown(l, SHUT_RDWR);
    ::close(l);
  }
  for (auto& t : threads) t.join();
  server->stop();
}

}  // namespace
