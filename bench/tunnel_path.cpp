// The whole tunnel daemon against the direct path, in one run. Needs root: it builds two network
// namespaces linked by a veth pair, runs galvent-tunnel in the client one and the entrance relay
// and the servers in the other, and measures each figure twice: through the tunnel (a plain
// socket, routed into the TUN device) and direct (a socket carrying the daemon's mark, which
// leaves over the same veth). Every daemon named on the command line is measured with 1 and with
// 10,000 rules, so an older build can be set beside the current one:
//
//   tunnel_path [--daemon NAME=PATH]... [--seconds S] [--repeat N] [--only GROUP]
//
// With --repeat, every figure is measured N times in turn and the median is printed (this
// machine's neighbours move single runs by tens of percent).
//
// Without --daemon it measures the galvent-tunnel it was built with. Figures: UDP echo of the
// game (1 and 64 flows: p50, p99, rate; for 1 flow also through the relay alone, without the
// daemon, in the tunnel column), one-way UDP bulk at the rate the direct path sustains
// (received rate and loss), bypass TCP bulk, and the first packet of new game flows.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "RelayEcho.h"
#include "TunnelStart.h"
#include "platform/netext/ControlSocket.h"
#include "standin/AccountServer.h"
#include "standin/relay/Relay.h"
#include "systest/Systest.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kEntrance = "198.51.100.50";
constexpr const char* kGameServer = "203.0.113.10";
constexpr const char* kBypassServer = "203.0.113.20";
constexpr uint16_t kEchoPort = 27015, kSinkPort = 27016, kTcpPort = 5201;
constexpr uint32_t kMark = 0x47560088;
constexpr uint32_t kTable = 5188;
constexpr uid_t kOwner = 4242;
constexpr int64_t kGameRule = 11;
constexpr size_t kBulkPayload = 1200;  // the frame of it fits the veth's 1500 bytes

double seconds = 1.0;
int repeats = 1;
std::string only;  // one group of figures: echo, bulk, tcp or first (for profiling)
bool want(const char* group) { return only.empty() || only == group; }

sockaddr_in addressOf(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

int socketTo(int type, const std::string& ip, uint16_t port, bool marked) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (marked) ::setsockopt(fd, SOL_SOCKET, SO_MARK, &kMark, sizeof kMark);
  auto to = addressOf(ip, port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// The servers behind the relay, on threads of their own; their sockets are made in the peer
// namespace.
class Servers {
 public:
  bool start(const systest::Netns& peer) {
    systest::Netns::Enter in(peer);
    if (!in.entered()) return false;
    echo_ = bindTo(SOCK_DGRAM, kGameServer, kEchoPort);
    sink_ = bindTo(SOCK_DGRAM, kGameServer, kSinkPort);
    tcp_ = bindTo(SOCK_STREAM, kBypassServer, kTcpPort);
    if (echo_ < 0 || sink_ < 0 || tcp_ < 0 || ::listen(tcp_, 64) != 0) return false;
    int big = 32 << 20;
    ::setsockopt(sink_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    ::setsockopt(echo_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    threads_.emplace_back([this] { serveEcho(); });
    threads_.emplace_back([this] { serveSink(); });
    threads_.emplace_back([this] { serveTcp(); });
    return true;
  }
  ~Servers() {
    stop_ = true;
    for (auto& t : threads_) t.join();
    for (int fd : {echo_, sink_, tcp_})
      if (fd >= 0) ::close(fd);
  }
  uint64_t sinkDatagrams() const { return sinkCount_.load(); }
  uint64_t tcpBytes() const { return tcpBytes_.load(); }

 private:
  static int bindTo(int type, const char* ip, uint16_t port) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    auto a = addressOf(ip, port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    return fd;
  }
  bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 50) == 1;
  }
  void serveEcho() {
    constexpr int kBatch = 32;
    std::vector<char> bufs(kBatch * 2048);
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    sockaddr_in from[kBatch];
    while (!stop_) {
      if (!readable(echo_)) continue;
      for (int i = 0; i < kBatch; ++i) {
        iov[i] = {bufs.data() + i * 2048, 2048};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof from[i];
      }
      int n = ::recvmmsg(echo_, msgs, kBatch, MSG_DONTWAIT, nullptr);
      for (int i = 0; i < n; ++i) iov[i].iov_len = msgs[i].msg_len;
      if (n > 0) ::sendmmsg(echo_, msgs, static_cast<unsigned>(n), 0);
    }
  }
  void serveSink() {
    constexpr int kBatch = 64;
    std::vector<char> bufs(kBatch * 2048);
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    while (!stop_) {
      if (!readable(sink_)) continue;
      for (int i = 0; i < kBatch; ++i) {
        iov[i] = {bufs.data() + i * 2048, 2048};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      for (int n; (n = ::recvmmsg(sink_, msgs, kBatch, MSG_DONTWAIT, nullptr)) > 0;)
        sinkCount_ += static_cast<uint64_t>(n);
    }
  }
  void serveTcp() {
    while (!stop_) {
      if (!readable(tcp_)) continue;
      int c = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      threads_tcp_.emplace_back([this, c] {
        std::vector<char> b(1 << 20);
        for (;;) {
          pollfd p{c, POLLIN, 0};
          if (::poll(&p, 1, 100) != 1) {
            if (stop_) break;
            continue;
          }
          ssize_t n = ::recv(c, b.data(), b.size(), 0);
          if (n <= 0) break;
          tcpBytes_ += static_cast<uint64_t>(n);
        }
        ::close(c);
      });
    }
    for (auto& t : threads_tcp_) t.join();
  }

  int echo_ = -1, sink_ = -1, tcp_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sinkCount_{0}, tcpBytes_{0};
  std::vector<std::thread> threads_, threads_tcp_;
};

struct EchoFigures {
  double p50us = 0, p99us = 0, rate = 0;
  uint64_t lost = 0;
};

// `f` with the median, 99th percentile and rate of the round trips `rtts` (us) of `duration` s.
EchoFigures withRoundTrips(EchoFigures f, std::vector<double> rtts, double duration) {
  if (rtts.empty()) return f;
  std::sort(rtts.begin(), rtts.end());
  f.p50us = rtts[rtts.size() / 2];
  f.p99us = rtts[std::min(rtts.size() - 1, rtts.size() * 99 / 100)];
  f.rate = static_cast<double>(rtts.size()) / duration;
  return f;
}

// Closed-loop echo: every flow keeps one datagram in flight; a datagram unanswered for 200 ms is
// counted lost and sent again.
EchoFigures echo(bool marked, int flows, double duration) {
  std::vector<int> fds;
  std::vector<int64_t> sentAt(static_cast<size_t>(flows));
  int ep = ::epoll_create1(EPOLL_CLOEXEC);
  char payload[64] = {};
  for (int i = 0; i < flows; ++i) {
    int fd = socketTo(SOCK_DGRAM | SOCK_NONBLOCK, kGameServer, kEchoPort, marked);
    if (fd < 0) break;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    fds.push_back(fd);
  }
  EchoFigures f;
  if (static_cast<int>(fds.size()) != flows) return f;
  std::vector<double> rtts;
  rtts.reserve(1 << 20);
  const int64_t end = nowNs() + static_cast<int64_t>(duration * 1e9);
  for (size_t i = 0; i < fds.size(); ++i) {
    sentAt[i] = nowNs();
    (void)::send(fds[i], payload, sizeof payload, 0);
  }
  epoll_event events[64];
  char back[2048];
  int64_t lastSweep = nowNs();
  while (nowNs() < end) {
    int n = ::epoll_wait(ep, events, 64, 20);
    for (int e = 0; e < n; ++e) {
      size_t i = events[e].data.u32;
      while (::recv(fds[i], back, sizeof back, 0) > 0) {
        int64_t t = nowNs();
        rtts.push_back(static_cast<double>(t - sentAt[i]) / 1e3);
        sentAt[i] = t;
        (void)::send(fds[i], payload, sizeof payload, 0);
      }
    }
    int64_t t = nowNs();
    if (t - lastSweep > 50'000'000) {
      lastSweep = t;
      for (size_t i = 0; i < fds.size(); ++i) {
        if (t - sentAt[i] > 200'000'000) {
          ++f.lost;
          sentAt[i] = t;
          (void)::send(fds[i], payload, sizeof payload, 0);
        }
      }
    }
  }
  for (int fd : fds) ::close(fd);
  ::close(ep);
  return withRoundTrips(f, std::move(rtts), duration);
}

// The same echo through the relay alone: frames built here, sent past the tunnel (marked), so
// that the relay's own hops are told from what the daemon adds.
EchoFigures relayEcho(double duration) {
  EchoFigures f;
  int fd = socketTo(SOCK_DGRAM, kEntrance, 40001, true);
  if (fd < 0) return f;
  bench::RelayEcho relay(fd, "198.51.100.1", kGameServer, kEchoPort);
  std::vector<double> rtts;
  const int64_t end = nowNs() + static_cast<int64_t>(duration * 1e9);
  while (nowNs() < end) {
    int64_t t0 = nowNs();
    if (!relay.send(64) || !relay.receive(200)) {
      ++f.lost;
      continue;
    }
    rtts.push_back(static_cast<double>(nowNs() - t0) / 1e3);
  }
  ::close(fd);
  return withRoundTrips(f, std::move(rtts), duration);
}

struct BulkFigures {
  double sentRate = 0, receivedRate = 0, loss = 0;
};

// Sends `datagram` on the connected socket `fd` (closed after) for `duration`: as fast as the
// socket takes it, or paced to `rate` a second; the sink's count gives what arrived.
BulkFigures bulkFrom(const Servers& servers, int fd, std::span<uint8_t> datagram, double rate,
                     double duration) {
  BulkFigures f;
  if (fd < 0 || datagram.empty()) {
    if (fd >= 0) ::close(fd);
    return f;
  }
  constexpr int kBatch = 16;
  mmsghdr msgs[kBatch] = {};
  iovec iov[kBatch];
  for (int i = 0; i < kBatch; ++i) {
    iov[i] = {datagram.data(), datagram.size()};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  const uint64_t before = servers.sinkDatagrams();
  uint64_t sent = 0;
  const int64_t start = nowNs();
  const int64_t end = start + static_cast<int64_t>(duration * 1e9);
  for (int64_t t = start; t < end; t = nowNs()) {
    if (rate > 0) {
      double due = static_cast<double>(t - start) / 1e9 * rate;
      if (static_cast<double>(sent) + kBatch > due) continue;
    }
    int n = ::sendmmsg(fd, msgs, kBatch, 0);
    if (n > 0) sent += static_cast<uint64_t>(n);
  }
  // Late arrivals still count.
  uint64_t received = servers.sinkDatagrams() - before;
  for (int i = 0; i < 25; ++i) {
    std::this_thread::sleep_for(10ms);
    uint64_t now = servers.sinkDatagrams() - before;
    if (now == received && now > 0) break;
    received = now;
  }
  ::close(fd);
  f.sentRate = static_cast<double>(sent) / duration;
  f.receivedRate = static_cast<double>(received) / duration;
  f.loss = sent ? 1.0 - static_cast<double>(received) / static_cast<double>(sent) : 1.0;
  return f;
}

// One-way datagrams of kBulkPayload bytes to the sink; `rate` 0 sends as fast as the socket
// takes them, else paced to that many a second.
BulkFigures udpBulk(const Servers& servers, bool marked, double rate, double duration) {
  std::vector<uint8_t> payload(kBulkPayload, 'b');
  return bulkFrom(servers, socketTo(SOCK_DGRAM, kGameServer, kSinkPort, marked), payload, rate,
                  duration);
}

// The same bulk through the relay alone, flat out: frames built here, sent past the tunnel.
BulkFigures relayBulk(const Servers& servers, double duration) {
  int fd = socketTo(SOCK_DGRAM, kEntrance, 40001, true);
  if (fd < 0) return {};
  bench::RelayEcho relay(fd, "198.51.100.1", kGameServer, kSinkPort);
  std::vector<uint8_t> frame = relay.frame(kBulkPayload);
  return bulkFrom(servers, fd, frame, 0, duration);
}

// Bypass TCP: bytes the server received per second while one connection sends flat out.
double tcpBulk(const Servers& servers, bool marked, double duration) {
  int fd = socketTo(SOCK_STREAM, kBypassServer, kTcpPort, marked);
  if (fd < 0) return 0;
  std::vector<char> chunk(256 << 10, 't');
  timeval tv{0, 200000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  // The connection is up once the first bytes arrived.
  (void)::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
  systest::waitFor([&] { return servers.tcpBytes() > 0; }, 2s);
  const uint64_t before = servers.tcpBytes();
  const int64_t start = nowNs();
  const int64_t end = start + static_cast<int64_t>(duration * 1e9);
  while (nowNs() < end) (void)::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
  const uint64_t bytes = servers.tcpBytes() - before;
  const double elapsed = static_cast<double>(nowNs() - start) / 1e9;
  ::close(fd);
  return static_cast<double>(bytes) * 8 / elapsed;
}

// Round trip of the first datagram of `count` new flows: the median, in microseconds.
double firstPacket(bool marked, int count) {
  std::vector<double> rtts;
  char payload[64] = {}, back[2048];
  for (int i = 0; i < count; ++i) {
    int fd = socketTo(SOCK_DGRAM, kGameServer, kEchoPort, marked);
    if (fd < 0) continue;
    int64_t t = nowNs();
    (void)::send(fd, payload, sizeof payload, 0);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) == 1 && ::recv(fd, back, sizeof back, 0) > 0)
      rtts.push_back(static_cast<double>(nowNs() - t) / 1e3);
    ::close(fd);
  }
  if (rtts.empty()) return 0;
  std::sort(rtts.begin(), rtts.end());
  return rtts[rtts.size() / 2];
}

nlohmann::json launchOptions(const std::string& accountHost, int64_t uid, int rules) {
  nlohmann::json entrance = {{"ip", kEntrance}, {"ports", nlohmann::json::array({40001})}};
  nlohmann::json exits = nlohmann::json::array({{{"addr", "3-7"}, {"nat", kEntrance}}});
  nlohmann::json game = {{"id", kGameRule},
                         {"exits", exits},
                         {"traffic_level", 2},
                         {"group_name", "game"},
                         {"process", {"*"}},
                         {"protocol", {"udp"}},
                         {"port", {std::to_string(kEchoPort), std::to_string(kSinkPort)}},
                         {"destination_ip_domain", {kGameServer}}};
  nlohmann::json speedInfo = {{"flow_id", 31},
                              {"down_stream_limit", 100},
                              {"up_stream_limit", 200},
                              {"entrance", nlohmann::json::array({entrance})},
                              {"rules", nlohmann::json::array({game})}};
  if (rules > 1) {
    // Rules that this traffic never matches, checked before the game rule: addresses and
    // ranges of 10.0.0.0/8, half each.
    nlohmann::json destinations = nlohmann::json::array();
    for (int i = 0; i < rules - 1; ++i) {
      int a = 1 + i / 250 % 250, b = i % 250;
      destinations.push_back(i % 2 ? "10." + std::to_string(a) + "." + std::to_string(b) + ".7"
                                   : "10." + std::to_string(a) + "." + std::to_string(b) + ".0/24");
    }
    speedInfo["blacklist"] = {{{"process", {"*"}}, {"destination_ip_domain", destinations}}};
  }
  nlohmann::json tunnelOptions = {
      {"dnsServer", kEntrance},          {"groupIdentifier", "group.gvb"},
      {"errorFile", "error.txt"},        {"ipDataFile", ""},
      {"recordTrafficEnable", true},     {"logEnable", false},
      {"observeInterfaceChange", false}, {"MTU", 1400}};
  nlohmann::json session = {{"baseDomain", accountHost},
                            {"mac", "02:00:00:00:00:08"},
                            {"userInfo", {{"uid", uid}}},
                            {"speedInfo", speedInfo}};
  return {{"tunnelOptions", tunnelOptions}, {"tssession", session}};
}

struct Row {
  std::string what;
  double direct, tunnel;
  std::string unit;
  bool lowerIsBetter;
};

void print(const std::string& title, const std::vector<Row>& rows) {
  std::printf("\n== %s\n%-28s %14s %14s %8s\n", title.c_str(), "figure", "direct", "tunnel",
              "ratio");
  for (const auto& r : rows) {
    double ratio = r.direct > 0 ? r.tunnel / r.direct : 0;
    std::printf("%-28s %14.1f %14.1f %8.3f  %s\n", r.what.c_str(), r.direct, r.tunnel, ratio,
                r.unit.c_str());
  }
  std::fflush(stdout);
}

struct World {
  systest::Netns client{systest::uniqueName("gvtp-c")};
  systest::Netns peer{systest::uniqueName("gvtp-p")};
  systest::TempDir dir{"gvtp"};
  std::unique_ptr<standin::relay::Relay> relay;
  std::unique_ptr<Servers> servers;
  std::unique_ptr<standin::account::AccountServer> account;
  int64_t uid = 0;
  std::filesystem::path group;
};

std::string build(World& w) {
  if (!w.client.valid() || !w.peer.valid()) return "cannot make the namespaces";
  if (!systest::veth(w.client, "gvtpc", "198.51.100.1/24", w.peer, "gvtpp", "198.51.100.50/24"))
    return "cannot link the namespaces";
  if (!w.peer.ok("ip addr add 203.0.113.10/32 dev lo && ip addr add 203.0.113.20/32 dev lo") ||
      !w.client.ok("ip route add 203.0.113.0/24 via 198.51.100.50"))
    return "cannot address the servers";
  {
    systest::Netns::Enter in(w.peer);
    if (!in.entered()) return "cannot enter the peer namespace";
    w.relay = std::make_unique<standin::relay::Relay>();
    w.relay->setKeepRecords(false);
    if (!w.relay->addEndpoint(kEntrance, 40001)) return "relay cannot bind";
  }
  w.servers = std::make_unique<Servers>();
  if (!w.servers->start(w.peer)) return "servers cannot bind";
  {
    systest::Netns::Enter in(w.client);
    w.account = std::make_unique<standin::account::AccountServer>();
    if (!w.account->start()) return "account stand-in cannot bind";
    standin::account::Account a;
    a.username = "player";
    a.online = true;
    w.uid = w.account->addAccount(a).uid;
    nlohmann::json beat = nlohmann::json::object();
    beat["entrance"] =
        nlohmann::json::array({{{"ip", kEntrance}, {"ports", nlohmann::json::array({40001})}}});
    w.account->scriptPayloads("/q5client/user/heartbeat", {beat});
  }
  std::filesystem::permissions(w.dir.path(), std::filesystem::perms::owner_all |
                                                 std::filesystem::perms::group_exec |
                                                 std::filesystem::perms::others_exec);
  w.group = w.dir.path() / "group.gvb";
  std::filesystem::create_directories(w.group);
  if (::chown(w.group.c_str(), kOwner, kOwner) != 0) return "cannot hand the container over";
  return "";
}

// The game group reports its chosen path once; until then its packets go past the relay.
bool gameGroupReady(World& w, size_t requestsBefore) {
  return systest::waitFor(
      [&] {
        auto requests = w.account->requests();
        for (size_t i = requestsBefore; i < requests.size(); ++i) {
          const auto& req = requests[i];
          if (req.path.find("path/batch-report") == std::string::npos || !req.info) continue;
          for (const auto& p : req.info->value("paths", nlohmann::json::array()))
            if (p.value("rule_id", int64_t(0)) == kGameRule) return true;
        }
        return false;
      },
      20s);
}

int measure(World& w, const std::string& name, const std::string& path, int rules) {
  std::string control = (w.dir.path() / ("control-" + std::to_string(rules))).string();
  systest::SpawnOptions options;
  options.netns = &w.client;
  const size_t requestsBefore = w.account->requests().size();
  auto daemon =
      systest::Process::spawn({path, "--control", control, "--owner-uid", std::to_string(kOwner),
                               "--container-root", w.dir.path().string(), "--dns-config", "none",
                               "--mark", std::to_string(kMark), "--table", std::to_string(kTable)},
                              options);
  platform::netext::ControlClient client;
  auto started = tunnel_daemon_test::startTunnel(
      client, control, launchOptions(w.account->host(), w.uid, rules), daemon);
  if (!started.empty()) {
    std::fprintf(stderr, "%s with %d rules: %s\n", name.c_str(), rules, started.c_str());
    return 1;
  }
  if (!gameGroupReady(w, requestsBefore)) {
    std::fprintf(stderr, "%s with %d rules: the game group never chose a path\n%s\n", name.c_str(),
                 rules, daemon.log().c_str());
    return 1;
  }
  std::vector<std::vector<Row>> runs;
  for (int run = 0; run < repeats; ++run) {
    std::vector<Row> rows;
    systest::Netns::Enter in(w.client);
    // Warm both paths (the relay's flow, the daemon's verdicts).
    echo(true, 1, 0.1);
    echo(false, 1, 0.1);
    for (int flows : {1, 64}) {
      if (!want("echo")) break;
      auto d = echo(true, flows, seconds), t = echo(false, flows, seconds);
      std::string f = std::to_string(flows) + (flows == 1 ? " flow" : " flows");
      rows.push_back({"echo p50, " + f, d.p50us, t.p50us, "us", true});
      rows.push_back({"echo p99, " + f, d.p99us, t.p99us, "us", true});
      rows.push_back({"echo rate, " + f, d.rate, t.rate, "round trips/s", false});
      if (t.lost || d.lost)
        std::printf("  (echo %s: %llu lost direct, %llu through the tunnel)\n", f.c_str(),
                    static_cast<unsigned long long>(d.lost),
                    static_cast<unsigned long long>(t.lost));
      if (flows == 1) {
        // In the tunnel column: the relay alone, no daemon.
        auto r = relayEcho(seconds);
        rows.push_back({"echo p50, relay alone", d.p50us, r.p50us, "us (no daemon)", true});
        rows.push_back(
            {"echo rate, relay alone", d.rate, r.rate, "round trips/s (no daemon)", false});
      }
    }
    if (want("bulk")) {
      auto dMax = udpBulk(*w.servers, true, 0, seconds);
      auto t = udpBulk(*w.servers, false, dMax.receivedRate, seconds);
      auto tMax = udpBulk(*w.servers, false, 0, seconds);
      rows.push_back(
          {"udp bulk received", dMax.receivedRate, t.receivedRate, "datagrams/s", false});
      rows.push_back(
          {"udp bulk loss at that rate %", dMax.loss * 100, t.loss * 100, "% of sent", true});
      rows.push_back({"udp bulk, tunnel flat out", dMax.receivedRate, tMax.receivedRate,
                      "datagrams/s (tunnel loss " + std::to_string(int(tMax.loss * 100)) + " %)",
                      false});
      auto rMax = relayBulk(*w.servers, seconds);
      rows.push_back(
          {"udp bulk, relay alone", dMax.receivedRate, rMax.receivedRate,
           "datagrams/s (no daemon; loss " + std::to_string(int(rMax.loss * 100)) + " %)", false});
    }
    if (want("tcp")) {
      double tcpD = tcpBulk(*w.servers, true, seconds), tcpT = tcpBulk(*w.servers, false, seconds);
      rows.push_back({"tcp bulk (bypass)", tcpD / 1e6, tcpT / 1e6, "Mbit/s", false});
    }
    if (want("first"))
      rows.push_back(
          {"first packet of a flow", firstPacket(true, 100), firstPacket(false, 100), "us", true});
    runs.push_back(std::move(rows));
  }
  // The median of each figure over the runs.
  std::vector<Row> rows = runs.front();
  for (size_t i = 0; i < rows.size(); ++i) {
    std::vector<double> d, t;
    for (const auto& r : runs) {
      d.push_back(r[i].direct);
      t.push_back(r[i].tunnel);
    }
    std::sort(d.begin(), d.end());
    std::sort(t.begin(), t.end());
    rows[i].direct = d[d.size() / 2];
    rows[i].tunnel = t[t.size() / 2];
  }
  print(name + ", " + std::to_string(rules) + (rules == 1 ? " rule" : " rules"), rows);
  (void)client.send(platform::netext::ControlRequest::stop(1));
  if (!daemon.wait(10s)) std::fprintf(stderr, "%s did not stop in 10 s\n", name.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> daemons;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--daemon" && value.find('=') != std::string::npos) {
      daemons.emplace_back(value.substr(0, value.find('=')), value.substr(value.find('=') + 1));
    } else if (flag == "--seconds") {
      seconds = std::max(0.2, std::atof(value.c_str()));
    } else if (flag == "--only" &&
               (value == "echo" || value == "bulk" || value == "tcp" || value == "first")) {
      only = value;
    } else if (flag == "--repeat") {
      repeats = std::clamp(std::atoi(value.c_str()), 1, 15);
    } else {
      std::fprintf(stderr,
                   "usage: tunnel_path [--daemon NAME=PATH]... [--seconds S] [--repeat N]"
                   " [--only echo|bulk|tcp|first]\n");
      return 2;
    }
  }
  if (daemons.empty()) daemons.emplace_back("current", GALVENT_TUNNEL_PATH);
  if (auto reason = systest::skipReason(); !reason.empty()) {
    std::fprintf(stderr, "tunnel_path: %s\n", reason.c_str());
    return 0;
  }
  World w;
  if (auto error = build(w); !error.empty()) {
    std::fprintf(stderr, "tunnel_path: %s\n", error.c_str());
    return 1;
  }
  int status = 0;
  for (int rules : {1, 10000})
    for (const auto& [name, path] : daemons) status |= measure(w, name, path, rules);
  return status;
}
