// galvent-tunnel end to end, as the app runs it: a client namespace with the daemon, the account
// service and the system resolver pointed at the tunnel, and a peer namespace with the entrance
// relay, the DNS server, the masked proxy and the game, echo and web servers behind it.
//
// The tests of the suite share one tunnel run and follow each other in declaration order; the
// last one stops it. Everything (namespaces, daemon, files) goes when the suite ends, also after
// a failure.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TunnelStart.h"
#include "platform/netext/ControlSocket.h"
#include "standin/AccountServer.h"
#include "standin/DnsStandin.h"
#include "standin/MaskedConnectProxy.h"
#include "standin/relay/Relay.h"
#include "systest/Systest.h"

using namespace std::chrono_literals;
using platform::netext::ControlClient;
using platform::netext::ControlRequest;
using platform::netext::DaemonMessageKind;

namespace {

constexpr const char* kEntrance = "198.51.100.50";
constexpr const char* kGameServer = "203.0.113.10";
constexpr const char* kBypassServer = "203.0.113.20";
constexpr uint32_t kMark = 0x47560077;
constexpr uint32_t kTable = 5177;
constexpr uid_t kOwner = 4242;  // the desktop user; needs no account in the passwd file
constexpr int64_t kGameRule = 11;
constexpr std::chrono::seconds kTcpIdleLimit{2};  // the daemon's, shortened

sockaddr_in addressOf(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

// A server thread on one socket that ends with the object. Serves in the namespace it was made
// in, which is the one of the thread that constructs it.
class SocketServer {
 public:
  SocketServer(int type, const std::string& ip, uint16_t port) {
    fd_ = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    auto a = addressOf(ip, port);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
             (type != SOCK_STREAM || ::listen(fd_, 16) == 0);
  }
  virtual ~SocketServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool bound() const { return bound_; }

 protected:
  void serve(std::function<void(int)> onReadable) {
    thread_ = std::thread([this, onReadable] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) == 1) onReadable(fd_);
      }
    });
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class UdpEcho : public SocketServer {
 public:
  UdpEcho(const std::string& ip, uint16_t port) : SocketServer(SOCK_DGRAM, ip, port) {
    serve([](int fd) {
      std::vector<uint8_t> b(65536);
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n >= 0) ::sendto(fd, b.data(), size_t(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    });
  }
};

// Answers every request with one fixed page and closes.
class TinyHttp : public SocketServer {
 public:
  TinyHttp(const std::string& ip, uint16_t port) : SocketServer(SOCK_STREAM, ip, port) {
    serve([](int fd) {
      int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      timeval tv{2, 0};
      ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      std::string request;
      char b[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(c, b, sizeof b, 0);
        if (n <= 0) break;
        request.append(b, size_t(n));
      }
      std::string page = "hello from the web server\n";
      std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) +
                           "\r\nConnection: close\r\n\r\n" + page;
      (void)::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(c);
    });
  }
};

// Echoes every connection until its client closes it.
class TcpEcho : public SocketServer {
 public:
  TcpEcho(const std::string& ip, uint16_t port) : SocketServer(SOCK_STREAM, ip, port) {
    serve([this](int fd) {
      int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) return;
      std::lock_guard lock(mu_);
      connections_.emplace_back([c] {
        char b[4096];
        for (;;) {
          ssize_t n = ::recv(c, b, sizeof b, 0);
          if (n <= 0 || ::send(c, b, size_t(n), MSG_NOSIGNAL) != n) break;
        }
        ::close(c);
      });
    });
  }
  ~TcpEcho() override {
    std::lock_guard lock(mu_);
    for (auto& t : connections_) t.join();
  }

 private:
  std::mutex mu_;
  std::vector<std::thread> connections_;
};

// A TCP client in the calling thread's namespace; "" for anything that failed.
class TcpClient {
 public:
  TcpClient(const std::string& ip, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    auto to = addressOf(ip, port);
    connectError_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 ? 0 : errno;
  }
  ~TcpClient() { ::close(fd_); }
  int connectError() const { return connectError_; }
  int fd() const { return fd_; }
  std::string exchange(const std::string& payload) {
    if (::send(fd_, payload.data(), payload.size(), MSG_NOSIGNAL) != ssize_t(payload.size()))
      return "";
    std::string got;
    char b[4096];
    while (got.size() < payload.size()) {
      ssize_t n = ::recv(fd_, b, sizeof b, 0);
      if (n <= 0) break;
      got.append(b, size_t(n));
    }
    return got;
  }
  // What the first read gives: 0 at an orderly close, -1 at a reset or time-out.
  ssize_t readOnce() {
    char b[64];
    return ::recv(fd_, b, sizeof b, 0);
  }

 private:
  int fd_ = -1;
  int connectError_ = 0;
};

// One UDP exchange from the calling thread's namespace: the answer, or "" after the timeout.
std::string udpExchange(const std::string& ip, uint16_t port, const std::string& payload,
                        std::chrono::milliseconds timeout = 3s) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  auto to = addressOf(ip, port);
  std::string answer;
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      ::send(fd, payload.data(), payload.size(), 0) == ssize_t(payload.size())) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(timeout.count())) == 1) {
      std::vector<char> b(65536);
      ssize_t n = ::recv(fd, b.data(), b.size(), 0);
      if (n > 0) answer.assign(b.data(), size_t(n));
    }
  }
  if (fd >= 0) ::close(fd);
  return answer;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

// Destination port of the inner IPv4/UDP packet of a 400 body (after its 33-byte header).
int innerUdpPort(const std::vector<uint8_t>& body) {
  constexpr size_t h = 33;
  if (body.size() < h + 20 || (body[h] >> 4) != 4 || body[h + 9] != IPPROTO_UDP) return -1;
  size_t ihl = size_t(body[h] & 0x0f) * 4;
  if (body.size() < h + ihl + 8) return -1;
  return body[h + ihl + 2] << 8 | body[h + ihl + 3];
}

nlohmann::json entranceJSON() {
  return {{"ip", kEntrance}, {"ports", nlohmann::json::array({40001, 40002})}};
}

std::string text(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

class TunnelDaemonEndToEnd : public ::testing::Test {
 protected:
  // The world of the suite; members end in reverse order, servers before their namespaces.
  struct World {
    systest::Netns client{systest::uniqueName("gvt-c")};
    systest::Netns peer{systest::uniqueName("gvt-p")};
    systest::TempDir dir{"gvt-e2e"};
    std::filesystem::path netnsEtc;
    std::unique_ptr<standin::relay::Relay> relay;
    std::unique_ptr<standin::DnsStandin> dns;
    std::unique_ptr<standin::MaskedConnectProxy> proxy;
    std::unique_ptr<UdpEcho> gameEcho, bypassEcho;
    std::unique_ptr<TinyHttp> web;
    std::unique_ptr<TcpEcho> tcpEcho;
    std::unique_ptr<standin::account::AccountServer> account;
    int64_t uid = 0;
    systest::Process daemon;
    ControlClient control;
    std::string controlPath;
    std::filesystem::path group;

    ~World() {
      control.close();
      daemon = systest::Process();
      if (!netnsEtc.empty()) std::filesystem::remove_all(netnsEtc);
    }
  };

  static void SetUpTestSuite() {
    if (!systest::skipReason().empty()) return;
    world_ = new World;
    setUpError_ = buildWorld(*world_);
  }
  static void TearDownTestSuite() {
    delete world_;
    world_ = nullptr;
  }
  void SetUp() override {
    if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
    ASSERT_TRUE(setUpError_.empty()) << setUpError_;
  }

  static std::string buildWorld(World& w);
  // Launches the daemon in the client namespace and starts the tunnel: "" once it runs, else why
  // not.
  static std::string startDaemon(World& w, bool observeInterfaceChange = false);
  static nlohmann::json launchOptions(const World& w, bool observeInterfaceChange);

  static World& world() { return *world_; }
  static std::string daemonLog() { return world_->daemon.log(); }

  // Polls the relay's records.
  static bool relaySaw(const std::function<bool(const standin::relay::Record&)>& match,
                       std::chrono::milliseconds timeout = 10s) {
    return world().relay->waitFor(
        [&](const std::vector<standin::relay::Record>& records) {
          for (const auto& r : records)
            if (match(r)) return true;
          return false;
        },
        timeout);
  }

  // The 400 frames the relay saw, one line each, for failure messages.
  static std::string frames400() {
    std::string out;
    for (const auto& r : world().relay->records()) {
      if (r.type != 400 && r.type != 401) {
        out += std::to_string(r.type) + " " + r.note + "\n";
        continue;
      }
      if (r.body.size() < 33) continue;
      out += "exit " + std::to_string(le32(r.body, 0)) + " rx " + std::to_string(le16(r.body, 4)) +
             " tx " + std::to_string(le16(r.body, 6)) + " flow " + std::to_string(le32(r.body, 8)) +
             " level " + std::to_string(r.body[12]) + " nat " +
             std::string(reinterpret_cast<const char*>(&r.body[13]), 20).c_str() + " port " +
             std::to_string(innerUdpPort(r.body)) + " (" + r.note + ")\n";
    }
    return out;
  }

  // The game group reports its scored paths once it has chosen one; until then its packets go
  // past it, straight to the server.
  static bool gameGroupReported(std::chrono::milliseconds timeout = 10s) {
    return systest::waitFor(
        [&] {
          for (const auto& req : world().account->requests()) {
            if (req.path.find("path/batch-report") == std::string::npos || !req.info) continue;
            for (const auto& p : req.info->value("paths", nlohmann::json::array())) {
              if (p.value("rule_id", int64_t(0)) != kGameRule) continue;
              int64_t port = p.value("entrance_port", int64_t(0));
              if (port == 40001 || port == 40002) return true;
            }
          }
          return false;
        },
        timeout);
  }

  // The game echo through the relay, once the game group has chosen its path.
  static std::string gameExchange(const std::string& payload) {
    if (!gameGroupReported()) return "";
    systest::Netns::Enter in(world().client);
    std::string answer;
    systest::waitFor(
        [&] {
          answer = udpExchange(kGameServer, 27015, payload, 1s);
          return !answer.empty();
        },
        15s);
    return answer;
  }

  static inline World* world_ = nullptr;
  static inline std::string setUpError_;
};

std::string TunnelDaemonEndToEnd::buildWorld(World& w) {
  if (!w.client.valid() || !w.peer.valid()) return "cannot make the namespaces";
  if (!systest::veth(w.client, "gvc0", "198.51.100.1/24", w.peer, "gvp0", "198.51.100.50/24"))
    return "cannot link the namespaces";
  if (!w.peer.ok("ip addr add 203.0.113.10/32 dev lo && ip addr add 203.0.113.20/32 dev lo") ||
      !w.client.ok("ip route add 203.0.113.0/24 via 198.51.100.50") ||
      // A home LAN whose router is also its resolver.
      !w.client.ok("ip link add lan0 type veth peer name lan1 && ip link set lan1 up && "
                   "ip addr add 192.168.1.2/16 dev lan0 && "
                   "ip link set lan0 up"))
    return "cannot address the servers";
  // Strict reverse-path filtering, as some distributions ship it: answers to the daemon's marked
  // sockets arrive from addresses that unmarked traffic routes into the tunnel.
  if (!w.client.ok("sysctl -qw net.ipv4.conf.all.rp_filter=1 net.ipv4.conf.gvc0.rp_filter=1 "
                   "net.ipv4.conf.all.src_valid_mark=0"))
    return "cannot make reverse-path filtering strict";
  // What `ip netns exec` binds over /etc/resolv.conf in the client: the tunnel's DNS address.
  w.netnsEtc = std::filesystem::path("/etc/netns") / w.client.name();
  std::filesystem::create_directories(w.netnsEtc);
  std::ofstream(w.netnsEtc / "resolv.conf") << "nameserver 198.18.0.1\n";

  {
    systest::Netns::Enter in(w.peer);
    if (!in.entered()) return "cannot enter the peer namespace";
    w.relay = std::make_unique<standin::relay::Relay>();
    if (!w.relay->addEndpoint(kEntrance, 40001) || !w.relay->addEndpoint(kEntrance, 40002))
      return "relay cannot bind";
    // Answers of 1,300 bytes come back as two fragments.
    w.relay->setFragmentMTU(800);
    w.dns = std::make_unique<standin::DnsStandin>();
    if (!w.dns->start(53, kEntrance)) return "DNS stand-in cannot bind";
    w.dns->addA("game.example", kGameServer);
    w.dns->addA("bypass.example", kBypassServer);
    w.dns->addA("proxied.example", kBypassServer);
    w.dns->addA("dnsrule.example", "203.0.113.30");
    w.proxy = std::make_unique<standin::MaskedConnectProxy>();
    if (w.proxy->start(kEntrance, 3128) != 0) return "masked proxy cannot bind";
    w.proxy->setHostAddress("proxied.example", kBypassServer);
    w.gameEcho = std::make_unique<UdpEcho>(kGameServer, 27015);
    w.bypassEcho = std::make_unique<UdpEcho>(kBypassServer, 9999);
    w.web = std::make_unique<TinyHttp>(kBypassServer, 8080);
    w.tcpEcho = std::make_unique<TcpEcho>(kBypassServer, 7777);
    w.dns->addA("lan.example", "203.0.113.40");
    if (!w.gameEcho->bound() || !w.bypassEcho->bound() || !w.web->bound() || !w.tcpEcho->bound())
      return "servers cannot bind";
  }
  {
    systest::Netns::Enter in(w.client);
    w.account = std::make_unique<standin::account::AccountServer>();
    if (!w.account->start()) return "account stand-in cannot bind";
    standin::account::Account a;
    a.username = "player";
    a.online = true;
    w.uid = w.account->addAccount(a).uid;
    // The service heartbeat names the same entrance, so no new resolve starts mid-test.
    nlohmann::json beat = nlohmann::json::object();
    beat["entrance"] = nlohmann::json::array({entranceJSON()});
    w.account->scriptPayloads("/q5client/user/heartbeat", {beat});
  }

  // The container belongs to the desktop user, as the app leaves it, in a root the user can reach.
  std::filesystem::permissions(w.dir.path(), std::filesystem::perms::owner_all |
                                                 std::filesystem::perms::group_exec |
                                                 std::filesystem::perms::others_exec);
  w.group = w.dir.path() / "group.gvt";
  std::filesystem::create_directories(w.group);
  if (::chown(w.group.c_str(), kOwner, kOwner) != 0) return "cannot hand the container over";
  w.controlPath = (w.dir.path() / "control").string();
  return startDaemon(w);
}

std::string TunnelDaemonEndToEnd::startDaemon(World& w, bool observeInterfaceChange) {
  systest::SpawnOptions options;
  options.netns = &w.client;
  w.daemon = systest::Process::spawn(
      {GALVENT_TUNNEL_PATH, "--control", w.controlPath, "--owner-uid", std::to_string(kOwner),
       "--container-root", w.dir.path().string(), "--dns-config", "none", "--mark",
       std::to_string(kMark), "--table", std::to_string(kTable), "--tcp-idle-limit",
       std::to_string(kTcpIdleLimit.count())},
      options);
  return tunnel_daemon_test::startTunnel(w.control, w.controlPath,
                                         launchOptions(w, observeInterfaceChange), w.daemon);
}

nlohmann::json TunnelDaemonEndToEnd::launchOptions(const World& w, bool observeInterfaceChange) {
  nlohmann::json entrance = entranceJSON();
  nlohmann::json exits = nlohmann::json::array({{{"addr", "3-7"}, {"nat", kEntrance}}});
  nlohmann::json speedInfo = {
      {"flow_id", 31},
      {"down_stream_limit", 100},
      {"up_stream_limit", 200},
      {"entrance", nlohmann::json::array({entrance})},
      {"dns_rule_exits", exits},
      {"dns_rule_traffic_level", 1},
      {"dns_rule", {{{"destination_domain", {"dnsrule.example"}}, {"dns_server", kEntrance}}}},
      {"rules",
       {{{"id", kGameRule},
         {"exits", exits},
         {"traffic_level", 2},
         {"group_name", "game"},
         {"process", {"*"}},
         {"protocol", {"udp"}},
         {"port", {"27015"}},
         {"destination_ip_domain", {"game.example"}}}}}};
  nlohmann::json tunnelOptions = {{"dnsServer", kEntrance},
                                  {"groupIdentifier", "group.gvt"},
                                  {"errorFile", "error.txt"},
                                  {"ipDataFile", ""},
                                  {"recordTrafficEnable", true},
                                  {"logEnable", true},
                                  {"observeInterfaceChange", observeInterfaceChange},
                                  {"httpsProxyMatchDomains", {"proxied.example"}},
                                  {"httpsProxyServer", kEntrance},
                                  {"httpsProxyPort", 3128},
                                  {"MTU", 1400}};
  nlohmann::json session = {{"baseDomain", w.account->host()},
                            {"mac", "02:00:00:00:00:07"},
                            {"userInfo", {{"uid", w.uid}}},
                            {"speedInfo", speedInfo}};
  return {{"tunnelOptions", tunnelOptions}, {"tssession", session}};
}

TEST_F(TunnelDaemonEndToEnd, StartedWithRulesAndTable) {
  auto rules = world().client.sh("ip rule show").output;
  std::ostringstream mark;
  mark << "not from all fwmark 0x" << std::hex << kMark << " lookup " << std::dec << kTable;
  EXPECT_NE(rules.find(mark.str()), std::string::npos) << rules;
  auto table = world().client.sh("ip route show table " + std::to_string(kTable)).output;
  EXPECT_NE(table.find("default dev gvtun"), std::string::npos) << table;
  // The entrance bypasses the tunnel, or tunnel frames would loop into it.
  EXPECT_NE(table.find("throw 198.51.100.50"), std::string::npos) << table;
}

TEST_F(TunnelDaemonEndToEnd, GameTrafficGoesThroughTheRelay) {
  // The system resolver asks the tunnel's DNS address; the DNS server stack forwards the query
  // and learns the name, which the white rule names.
  auto resolved = world().client.sh("getent ahostsv4 game.example");
  EXPECT_NE(resolved.output.find(kGameServer), std::string::npos) << resolved.output;
  auto asked = world().dns->queries();
  EXPECT_NE(std::find(asked.begin(), asked.end(), "game.example"), asked.end());

  EXPECT_EQ(gameExchange("ping-1"), "ping-1") << daemonLog();
  EXPECT_TRUE(relaySaw([](const auto& r) {
    if (!r.incoming || r.type != 400 || r.body.size() < 33) return false;
    return le32(r.body, 0) == 196615 && le16(r.body, 4) == 100 && le16(r.body, 6) == 200 &&
           le32(r.body, 8) == 31 && r.body[12] == 2 &&
           std::string(reinterpret_cast<const char*>(&r.body[13])).substr(0, 20) == kEntrance &&
           r.body.size() > 33 && innerUdpPort(r.body) == 27015;
  })) << "no 400 frame with exit 3-7, rx 100, tx 200, flow 31, level 2 and the entrance NAT:\n"
      << frames400();

  // An answer larger than the relay's fragment size arrives whole.
  std::string big(1300, 'x');
  big.replace(0, 4, "big!");
  EXPECT_EQ(gameExchange(big), big);
  EXPECT_TRUE(relaySaw([](const auto& r) { return r.note == "udp answer fragment"; }));
}

TEST_F(TunnelDaemonEndToEnd, DnsRuleQueryGoesThroughTheDnsGroup) {
  auto resolved = world().client.sh("getent ahostsv4 dnsrule.example");
  EXPECT_NE(resolved.output.find("203.0.113.30"), std::string::npos)
      << resolved.output << daemonLog();
  EXPECT_TRUE(relaySaw([](const auto& r) {
    return r.incoming && r.type == 400 && r.body.size() > 33 && innerUdpPort(r.body) == 53;
  })) << "the DNS rule's query was not carried in a 400 frame";
}

TEST_F(TunnelDaemonEndToEnd, HeartbeatsAndPathReports) {
  // The game group runs once it has carried a packet; its heartbeat then ticks every 2 s.
  ASSERT_FALSE(gameExchange("ping-hb").empty());
  for (const char* beat : {"__1", "__2"}) {
    EXPECT_TRUE(relaySaw([beat](const auto& r) {
      return r.incoming && r.type == 500 && text(r.body) == beat;
    })) << beat;
  }
  EXPECT_TRUE(gameGroupReported()) << "no path batch report of the game rule with an entrance port";
}

// Runs under strict reverse-path filtering (see buildWorld): the answers to the marked sockets of
// the bypass path get through.
TEST_F(TunnelDaemonEndToEnd, BypassTrafficGoesDirect) {
  EXPECT_EQ(world().client.sh("sysctl -n net.ipv4.conf.all.src_valid_mark").output, "1\n");
  std::string echoed;
  {
    systest::Netns::Enter in(world().client);
    echoed = udpExchange(kBypassServer, 9999, "bypass-1");
  }
  EXPECT_EQ(echoed, "bypass-1") << daemonLog();
  EXPECT_FALSE(relaySaw(
      [](const auto& r) {
        return r.type == 400 && r.body.size() > 33 && innerUdpPort(r.body) == 9999;
      },
      0ms));

  // TCP through the address translation: a direct connection, then one through the masked proxy.
  auto direct = world().client.sh("curl -4 -s --max-time 10 http://bypass.example:8080/");
  EXPECT_EQ(direct.output, "hello from the web server\n") << daemonLog();
  auto proxied = world().client.sh("curl -4 -sS --max-time 10 http://proxied.example:8080/ 2>&1");
  EXPECT_EQ(proxied.output, "hello from the web server\n") << daemonLog();
  auto lines = world().proxy->requests();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "CONNECT proxied.example:8080 HTTP/1.1"),
            lines.end());
  for (const auto& line : lines) EXPECT_EQ(line.find("bypass.example"), std::string::npos);
}

TEST_F(TunnelDaemonEndToEnd, TrafficQueryCountsAndRecords) {
  ASSERT_FALSE(gameExchange("ping-q").empty());
  auto& control = world().control;
  ASSERT_EQ(control.send(ControlRequest::message("GVProviderTrafficInfoCommand")), 0);
  auto reply = control.receiveKind(DaemonMessageKind::Reply, 5s);
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->reply) << "no traffic figures";
  auto info = nlohmann::json::parse(*reply->reply, nullptr, false);
  ASSERT_TRUE(info.is_object()) << *reply->reply;
  EXPECT_GT(info.value("rxBytes", 0), 0) << info;
  EXPECT_GT(info.value("txBytes", 0), 0) << info;
  EXPECT_GE(info.value("heartbeatSent", 0), 1) << info;
  bool white = false, bypass = false;
  for (const auto& r : info.value("trafficRecords", nlohmann::json::array())) {
    if (r.value("group", "") == "White" && r.value("domain", "") == "game.example") white = true;
    if (r.value("group", "") == "ByPass") bypass = true;
  }
  EXPECT_TRUE(white) << info;
  EXPECT_TRUE(bypass) << info;
}

// A bulk transfer both ways through the address translation, where the TUN device hands over
// and takes back TCP packets of up to 64 KiB: every byte comes back, in order.
TEST_F(TunnelDaemonEndToEnd, BulkTcpThroughTheTranslationArrivesIntact) {
  systest::Netns::Enter in(world().client);
  TcpClient c(kBypassServer, 7777);
  ASSERT_EQ(c.connectError(), 0) << daemonLog();
  std::string sent(8 << 20, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = char((i * 2654435761u) >> 13);
  std::thread sender([&] {
    for (size_t at = 0; at < sent.size();) {
      ssize_t n = ::send(c.fd(), sent.data() + at, std::min<size_t>(sent.size() - at, 1 << 18),
                         MSG_NOSIGNAL);
      if (n <= 0) break;
      at += size_t(n);
    }
  });
  std::string got;
  std::vector<char> b(1 << 16);
  while (got.size() < sent.size()) {
    ssize_t n = ::recv(c.fd(), b.data(), b.size(), 0);
    if (n <= 0) break;
    got.append(b.data(), size_t(n));
  }
  sender.join();
  ASSERT_EQ(got.size(), sent.size()) << daemonLog();
  EXPECT_TRUE(got == sent) << "the echoed bytes differ";
}

TEST_F(TunnelDaemonEndToEnd, IdleTcpConnectionOutlivesTheIdleLimit) {
  systest::Netns::Enter in(world().client);
  TcpClient c(kBypassServer, 7777);
  ASSERT_EQ(c.connectError(), 0) << daemonLog();
  EXPECT_EQ(c.exchange("before"), "before");
  // Idle time is what is tested: the connection stays silent past the limit, during which other
  // packets (the ping below) run the stack's expiry.
  std::this_thread::sleep_for(kTcpIdleLimit + 1s);
  EXPECT_EQ(udpExchange(kBypassServer, 9999, "tick"), "tick");
  EXPECT_EQ(c.exchange("after"), "after") << daemonLog();
}

// The proxy's listener serves the tunnel's own flows only: it is not on the LAN address, and
// a connection from outside that reaches the tunnel address is closed unserved.
TEST_F(TunnelDaemonEndToEnd, ProxyListenerRefusesOutsidePeers) {
  auto& w = world();
  auto listening = w.client.sh("ss -Hltn").output;
  auto at = listening.find("192.0.2.1:");
  ASSERT_NE(at, std::string::npos) << listening;
  const auto port = static_cast<uint16_t>(std::stoi(listening.substr(at + 10)));
  EXPECT_EQ(listening.find("0.0.0.0:" + std::to_string(port)), std::string::npos) << listening;
  ASSERT_TRUE(w.peer.ok("ip route replace 192.0.2.1/32 via 198.51.100.1"));
  systest::Netns::Enter in(w.peer);
  {
    TcpClient lan("198.51.100.1", port);
    EXPECT_EQ(lan.connectError(), ECONNREFUSED);
  }
  TcpClient stranger("192.0.2.1", port);
  if (stranger.connectError() == 0) {
    EXPECT_LE(stranger.readOnce(), 0) << "served a stranger";
  }
  EXPECT_TRUE(systest::waitFor(
      [] { return daemonLog().find("not a tunnel flow") != std::string::npos; }, 5s))
      << daemonLog();
}

// A network manager may point resolv.conf at the LAN's resolver, inside an excluded range: the
// queries still reach the tunnel's DNS stack, so domain rules keep learning addresses.
TEST_F(TunnelDaemonEndToEnd, DnsToALanResolverStillReachesTheDnsStack) {
  auto& w = world();
  std::ofstream(w.netnsEtc / "resolv.conf") << "nameserver 192.168.1.1\n";
  auto resolved = w.client.sh("getent ahostsv4 lan.example");
  std::ofstream(w.netnsEtc / "resolv.conf") << "nameserver 198.18.0.1\n";
  EXPECT_NE(resolved.output.find("203.0.113.40"), std::string::npos)
      << resolved.output << daemonLog();
  auto asked = w.dns->queries();
  EXPECT_NE(std::find(asked.begin(), asked.end(), "lan.example"), asked.end());
}

// A program flooding the bypass path builds no queue in front of the game: the game echo keeps
// its round trip.
TEST_F(TunnelDaemonEndToEnd, BypassFloodLeavesTheGameEchoFast) {
  ASSERT_FALSE(gameExchange("ping-flood").empty());
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    systest::Netns::Enter in(world().client);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto to = addressOf(kBypassServer, 9);  // nobody listens: the datagrams just go
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    // 50,000 datagrams of 1,200 bytes a second, sent in bursts of 50.
    std::vector<char> payload(1200, 'f');
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t sent = 0; flooding;) {
      auto due =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * 50000;
      if (double(sent) >= due) {
        std::this_thread::sleep_for(500us);
        continue;
      }
      for (int i = 0; i < 50; ++i, ++sent) (void)::send(fd, payload.data(), payload.size(), 0);
    }
    ::close(fd);
  });
  std::vector<double> rtts;
  int lost = 0;
  {
    systest::Netns::Enter in(world().client);
    for (int i = 0; i < 300; ++i) {
      auto start = std::chrono::steady_clock::now();
      std::string payload = "flood-" + std::to_string(i);
      if (udpExchange(kGameServer, 27015, payload, 1s) != payload) {
        ++lost;
        continue;
      }
      rtts.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  flooding = false;
  flood.join();
  ASSERT_GE(rtts.size(), 270u) << lost << " of 300 game echoes lost under the flood";
  std::sort(rtts.begin(), rtts.end());
  std::printf("game echo under a bypass flood: p50 %.2f ms, p99 %.2f ms, %d lost\n",
              rtts[rtts.size() / 2], rtts[rtts.size() * 99 / 100], lost);
  // A queue in front of the game shows in the middle of the spread, not only in its tail; the tail
  // bound leaves room for the scheduling delays of a busy machine.
  EXPECT_LT(rtts[rtts.size() / 2], 5.0) << "p50 in ms";
  EXPECT_LT(rtts[rtts.size() * 99 / 100], 25.0) << "p99 in ms; p50 " << rtts[rtts.size() / 2];
}

TEST_F(TunnelDaemonEndToEnd, UserStopRemovesEverythingAndWritesNoReason) {
  auto& w = world();
  ASSERT_EQ(w.control.send(ControlRequest::stop(1)), 0);
  EXPECT_EQ(w.daemon.wait(10s), std::optional<int>(0)) << daemonLog();
  // The reverse-path settings are as the daemon found them.
  EXPECT_EQ(w.client.sh("sysctl -n net.ipv4.conf.all.src_valid_mark").output, "0\n");
  EXPECT_EQ(w.client.sh("iptables -w -t mangle -S").output.find("CONNMARK"), std::string::npos);
  EXPECT_EQ(w.client.sh("ip rule show").output.find("lookup " + std::to_string(kTable)),
            std::string::npos);
  EXPECT_EQ(w.client.sh("ip route show table " + std::to_string(kTable)).output, "");
  EXPECT_EQ(w.client.sh("ip -o link show").output.find("gvtun"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(w.group / "error.txt"));
  EXPECT_FALSE(std::filesystem::exists(w.controlPath));
}

// A run stopped for another reason leaves the reason in the user's container, as the user's file.
TEST_F(TunnelDaemonEndToEnd, OtherStopReasonIsWrittenForTheUser) {
  auto& w = world();
  ASSERT_EQ(startDaemon(w), "");
  ASSERT_EQ(w.control.send(ControlRequest::stop(2)), 0);
  EXPECT_EQ(w.daemon.wait(10s), std::optional<int>(0)) << daemonLog();
  std::ifstream in(w.group / "error.txt");
  std::string reason((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(reason, "VPN Stopped by reason: 2") << daemonLog();
  struct stat st {};
  ASSERT_EQ(::stat((w.group / "error.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kOwner);
}

// With interface changes observed, the default route going and coming back reasserts the tunnel
// (status 4, then 3) and the game's traffic resumes.
TEST_F(TunnelDaemonEndToEnd, DefaultRouteChangeReassertsAndTheGameResumes) {
  auto& w = world();
  ASSERT_TRUE(w.client.ok("ip route replace default via 198.51.100.50"));
  ASSERT_EQ(startDaemon(w, true), "");
  EXPECT_EQ(gameExchange("before-change"), "before-change") << daemonLog();
  ASSERT_TRUE(w.client.ok("ip route del default"));
  ASSERT_TRUE(w.client.ok("ip route add default via 198.51.100.50"));
  std::vector<int> seen;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline &&
         !(seen.size() >= 2 && seen[seen.size() - 2] == 4 && seen.back() == 3)) {
    if (auto m = w.control.receiveKind(DaemonMessageKind::Status, 1s))
      seen.push_back(static_cast<int>(m->status));
  }
  ASSERT_GE(seen.size(), 2u) << daemonLog();
  EXPECT_EQ(seen[seen.size() - 2], 4) << daemonLog();
  EXPECT_EQ(seen.back(), 3) << daemonLog();
  {
    systest::Netns::Enter in(w.client);
    std::string answer;
    EXPECT_TRUE(systest::waitFor(
        [&] {
          answer = udpExchange(kGameServer, 27015, "after-change", 1s);
          return answer == "after-change";
        },
        15s))
        << daemonLog();
  }
  ASSERT_EQ(w.control.send(ControlRequest::stop(1)), 0);
  EXPECT_EQ(w.daemon.wait(10s), std::optional<int>(0)) << daemonLog();
  w.client.ok("ip route del default");
}

}  // namespace
