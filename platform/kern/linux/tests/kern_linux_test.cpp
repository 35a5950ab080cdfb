// The Linux IPv4 filter, injection and kernel sockets in a network namespace of the test's own:
// real chains, queues, TUN device and marked sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Backend.h"
#include "Flows.h"
#include "Owners.h"
#include "platform/kctl/Client.h"
#include "platform/kctl/wire.h"
#include "platform/kern/kern.h"
#include "platform/kern/linux.h"

namespace platform::kern {
namespace {

using Bytes = std::vector<uint8_t>;
namespace lb = linux_backend;

constexpr char kLocal[] = "192.0.2.1";  // our address in the namespace

std::string output_of(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

std::string file_text(const char* path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

sockaddr_in sin(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

int udp_bound(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  auto a = sin(kLocal, port);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  timeval tv{5, 0};  // only a safety net if a packet is lost; every wait below expects one
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

void send_to(int fd, uint16_t port, const std::string& text) {
  auto a = sin(kLocal, port);
  ASSERT_EQ(::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
            static_cast<ssize_t>(text.size()));
}

std::string receive(int fd, sockaddr_in* from = nullptr, int flags = 0) {
  char buf[2048];
  sockaddr_in f{};
  socklen_t fl = sizeof f;
  ssize_t n = ::recvfrom(fd, buf, sizeof buf, flags, reinterpret_cast<sockaddr*>(&f), &fl);
  if (from) *from = f;
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

uint16_t csum(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += (p[i] << 8) | p[i + 1];
  if (n & 1) sum += p[n - 1] << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// A UDP/IPv4 packet with a valid header checksum and no UDP checksum.
Bytes udp_packet(const char* src, uint16_t sport, const char* dst, uint16_t dport,
                 const std::string& payload) {
  Bytes b(28 + payload.size());
  b[0] = 0x45;
  b[2] = static_cast<uint8_t>(b.size() >> 8);
  b[3] = static_cast<uint8_t>(b.size());
  b[8] = 64;
  b[9] = IPPROTO_UDP;
  ::inet_pton(AF_INET, src, &b[12]);
  ::inet_pton(AF_INET, dst, &b[16]);
  uint16_t c = csum(b.data(), 20);
  b[10] = static_cast<uint8_t>(c >> 8);
  b[11] = static_cast<uint8_t>(c);
  b[20] = static_cast<uint8_t>(sport >> 8);
  b[21] = static_cast<uint8_t>(sport);
  b[22] = static_cast<uint8_t>(dport >> 8);
  b[23] = static_cast<uint8_t>(dport);
  b[24] = static_cast<uint8_t>((8 + payload.size()) >> 8);
  b[25] = static_cast<uint8_t>(8 + payload.size());
  std::memcpy(&b[28], payload.data(), payload.size());
  return b;
}

uint16_t dport_of(const uint8_t* p, size_t n) {
  size_t hl = (p[0] & 0x0f) * 4u;
  return n >= hl + 4 ? static_cast<uint16_t>((p[hl + 2] << 8) | p[hl + 3]) : 0;
}

// The filter under test: records what it sees, rewrites port 9001, takes port 9002.
struct Recorder {
  std::mutex m;
  std::vector<uint16_t> out_ports;
  std::vector<std::pair<int, uint8_t>> in_offsets;  // (offset, protocol) of answers
  std::atomic<bool> detached{false};
};
Recorder* g_rec = nullptr;

errno_t rec_output(void*, mbuf_t* data) {
  uint8_t* p = mbuf_data(*data);
  size_t n = mbuf_len(*data);
  uint16_t port = dport_of(p, n);
  {
    std::lock_guard g(g_rec->m);
    g_rec->out_ports.push_back(port);
  }
  if (port == 9001 && n >= 29) {
    size_t hl = (p[0] & 0x0f) * 4u;
    p[hl + 8] = 'X';  // first payload byte; checksum cleared, valid for UDP
    p[hl + 6] = p[hl + 7] = 0;
    mbuf_set_modified(*data);
  }
  if (port == 9002) {
    mbuf_freem(*data);
    return EJUSTRETURN;
  }
  return 0;
}

errno_t rec_input(void*, mbuf_t*, int offset, uint8_t protocol) {
  std::lock_guard g(g_rec->m);
  g_rec->in_offsets.emplace_back(offset, protocol);
  return 0;
}

void rec_detach(void*) { g_rec->detached = true; }

class LinuxBackend : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::geteuid() != 0) {
      skip_ = "needs root: it creates a network namespace, a TUN device and netfilter queues";
      return;
    }
    // This thread (gtest's only one) and every thread and tool it starts live in the new
    // namespace; it goes away with the process.
    if (::unshare(CLONE_NEWNET) != 0) {
      skip_ = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
      return;
    }
    if (std::system("ip link set lo up && ip link add v0 type veth peer name v1 && "
                    "ip link set v0 up && ip link set v1 up && ip addr add 192.0.2.1/24 dev v0 && "
                    "ip route add default via 192.0.2.254 && "
                    "sysctl -qw net.ipv4.conf.all.rp_filter=1 && "
                    "sysctl -qw net.ipv4.ping_group_range='0 0'") != 0)
      skip_ = "setting up the namespace failed (ip, sysctl)";
  }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }
  static std::string skip_;
};
std::string LinuxBackend::skip_;

TEST_F(LinuxBackend, ChainsInstallOnceAndLeaveNothing) {
  auto count = [](const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  };
  ASSERT_EQ(lb::chains_install(), 0);
  ASSERT_EQ(lb::chains_set_jumps(true), 0);
  ASSERT_EQ(lb::chains_install(), 0);  // a second start finds stale chains and replaces them
  std::string saved = output_of("iptables-save");
  // Chains, but no jump into them until the switch is on; the accepting chain's jump at once.
  EXPECT_EQ(count(saved, ":TAMSEL_OUT "), 1u) << saved;
  EXPECT_EQ(count(saved, "-A OUTPUT -j TAMSEL_OUT"), 0u) << saved;
  EXPECT_EQ(count(saved, "-A INPUT -j TAMSEL_ACCEPT"), 1u) << saved;
  for (bool on : {true, true, false, false, true}) ASSERT_EQ(lb::chains_set_jumps(on), 0);
  saved = output_of("iptables-save");
  EXPECT_EQ(count(saved, "-A OUTPUT -j TAMSEL_OUT"), 1u) << saved;
  EXPECT_EQ(count(saved, "-A PREROUTING -j TAMSEL_IN"), 1u) << saved;
  ASSERT_EQ(lb::chains_set_jumps(false), 0);
  saved = output_of("iptables-save");
  EXPECT_EQ(count(saved, "-j TAMSEL_OUT"), 0u) << saved;
  EXPECT_EQ(count(saved, "-j TAMSEL_IN"), 0u) << saved;
  ASSERT_EQ(lb::chains_set_jumps(true), 0);
  ASSERT_EQ(lb::chains_remove(), 0);
  EXPECT_EQ(output_of("iptables-save").find("TAMSEL"), std::string::npos);
  EXPECT_EQ(lb::chains_remove(), 0);  // nothing left to remove is no failure
}

TEST_F(LinuxBackend, FilterSeesRewritesAndTakesPacketsThenLeavesNoTrace) {
  Recorder rec;
  g_rec = &rec;
  ipf_filter f{nullptr, "test", rec_input, rec_output, rec_detach};
  ipfilter_t ref = nullptr;
  ASSERT_EQ(ipf_addv4(&f, &ref), 0);
  ASSERT_EQ(lb::chains_set_jumps(true), 0);  // as the master switch does
  ipfilter_t second = nullptr;
  EXPECT_EQ(ipf_addv4(&f, &second), EEXIST);
  EXPECT_NE(::if_nametoindex(lb::kInjectDevice), 0u);
  EXPECT_EQ(file_text("/proc/sys/net/ipv4/conf/all/rp_filter"), "2\n");

  int plain = udp_bound(9000), rewritten = udp_bound(9001), taken = udp_bound(9002);
  int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  send_to(sender, 9001, "hello");
  send_to(sender, 9002, "gone");
  send_to(sender, 9000, "marker");
  EXPECT_EQ(receive(rewritten), "Xello");
  // One queue, in order: once the marker is through, the taken packet had its verdict.
  EXPECT_EQ(receive(plain), "marker");
  EXPECT_EQ(receive(taken, nullptr, MSG_DONTWAIT), "");

  // Our own marked sockets pass the output chain unseen.
  socket_t so = nullptr;
  ASSERT_EQ(sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, nullptr, &so), 0);
  auto to = sin(kLocal, 9000);
  ASSERT_EQ(sock_connect(so, &to, 0), 0);
  size_t sent = 0;
  ASSERT_EQ(sock_send(so, "frame", 5, &sent), 0);
  EXPECT_EQ(sent, 5u);
  EXPECT_EQ(receive(plain), "frame");
  {
    std::lock_guard g(rec.m);
    EXPECT_EQ(rec.out_ports, (std::vector<uint16_t>{9001, 9002, 9000}));
  }
  sock_close(so);

  // An answer handed to the input path arrives from the asked server, through the input queue.
  int asker = udp_bound(9003);
  Bytes answer = udp_packet("198.51.100.53", 53, kLocal, 9003, "answer");
  mbuf_t m = nullptr;
  ASSERT_EQ(mbuf_allocpacket(answer.size(), &m), 0);
  std::memcpy(mbuf_data(m), answer.data(), answer.size());
  ASSERT_EQ(ipf_inject_input(m, ref), 0);
  sockaddr_in from{};
  EXPECT_EQ(receive(asker, &from), "answer");
  EXPECT_EQ(from.sin_addr.s_addr, sin("198.51.100.53", 0).sin_addr.s_addr);
  EXPECT_EQ(ntohs(from.sin_port), 53);
  {
    std::lock_guard g(rec.m);
    ASSERT_EQ(rec.in_offsets.size(), 1u);
    EXPECT_EQ(rec.in_offsets[0], std::make_pair(20, static_cast<uint8_t>(IPPROTO_UDP)));
  }

  ASSERT_EQ(ipf_remove(ref), 0);
  EXPECT_TRUE(rec.detached);
  EXPECT_EQ(output_of("iptables-save").find("TAMSEL"), std::string::npos);
  EXPECT_EQ(::if_nametoindex(lb::kInjectDevice), 0u);
  EXPECT_EQ(file_text("/proc/sys/net/ipv4/conf/all/rp_filter"), "1\n");
  std::string queues = file_text("/proc/net/netfilter/nfnetlink_queue");
  EXPECT_EQ(queues.find(" 3550 "), std::string::npos) << queues;
  EXPECT_EQ(queues.find(" 3551 "), std::string::npos) << queues;
  // Without the filter, an injection has no device.
  ASSERT_EQ(mbuf_allocpacket(answer.size(), &m), 0);
  EXPECT_EQ(ipf_inject_input(m, nullptr), ENODEV);
  for (int fd : {plain, rewritten, taken, sender, asker}) ::close(fd);
  g_rec = nullptr;
}

// Packets sent faster than the queue is read arrive several per read, and their verdicts leave
// together: each still finds its own packet, in order, a rewrite among them included.
TEST_F(LinuxBackend, BurstsKeepEachVerdictInOrder) {
  Recorder rec;
  g_rec = &rec;
  ipf_filter f{nullptr, "test", rec_input, rec_output, rec_detach};
  ipfilter_t ref = nullptr;
  ASSERT_EQ(ipf_addv4(&f, &ref), 0);
  ASSERT_EQ(lb::chains_set_jumps(true), 0);
  int plain = udp_bound(9000), rewritten = udp_bound(9001), taken = udp_bound(9002);
  for (int fd : {plain, rewritten}) {
    int size = 8 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  }
  int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  constexpr int kPackets = 900;
  std::vector<uint16_t> ports;
  for (int i = 0; i < kPackets; ++i) {
    uint16_t port = i % 7 == 3 ? 9001 : i % 5 == 1 ? 9002 : 9000;
    ports.push_back(port);
    send_to(sender, port, "p" + std::to_string(i));
  }
  send_to(sender, 9000, "end");
  ports.push_back(9000);
  for (int i = 0; i < kPackets; ++i) {
    if (ports[i] == 9000) {
      ASSERT_EQ(receive(plain), "p" + std::to_string(i));
    } else if (ports[i] == 9001) {
      ASSERT_EQ(receive(rewritten), "X" + std::to_string(i));
    }
  }
  EXPECT_EQ(receive(plain), "end");
  EXPECT_EQ(receive(taken, nullptr, MSG_DONTWAIT), "");
  {
    std::lock_guard g(rec.m);
    EXPECT_EQ(rec.out_ports, ports);
  }
  ASSERT_EQ(ipf_remove(ref), 0);
  for (int fd : {plain, rewritten, taken, sender}) ::close(fd);
  g_rec = nullptr;
}

// Socket filters rebuilt from traffic: what a filter sees for this process's own sockets.
struct SfltLog {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> events;
  std::atomic<bool> detach_on_connect{false};  // set by the test, read by the queue thread
  int unregistered = 0;
  std::vector<errno_t> tcp_info;  // what sock_tcp_info answered at each connect out
};
SfltLog* g_sflt = nullptr;

void note(const std::string& e) {
  std::lock_guard g(g_sflt->m);
  g_sflt->events.push_back(e);
  g_sflt->cv.notify_all();
}
std::string port_text(const sockaddr_in* a) { return a ? std::to_string(ntohs(a->sin_port)) : "-"; }
errno_t sf_attach(void** cookie, socket_t so) {
  char name[32];
  proc_selfname(name, sizeof name);
  sockaddr_in local{};
  sock_getsockname(so, &local);
  note(std::string("attach ") + name + (local.sin_port ? " bound" : " unbound"));
  *cookie = g_sflt;
  return 0;
}
void sf_detach(void*, socket_t) { note("detach"); }
void sf_notify(void*, socket_t, sflt_event ev, void*) { note("notify " + std::to_string(ev)); }
errno_t sf_data_out(void*, socket_t, const sockaddr_in* to, mbuf_t* data, int) {
  note(
      "out " + port_text(to) + " " +
      std::string(reinterpret_cast<char*>(mbuf_data(*data)), std::min<size_t>(mbuf_len(*data), 8)));
  return 0;
}
errno_t sf_data_in(void*, socket_t, const sockaddr_in* from, mbuf_t* data, int) {
  note("in " + port_text(from) + " " + std::to_string(mbuf_len(*data)));
  return 0;
}
errno_t sf_connect_out(void*, socket_t so, const sockaddr_in* to) {
  tcp_conn_info info{};
  errno_t r = sock_tcp_info(so, &info);
  {
    std::lock_guard g(g_sflt->m);
    g_sflt->tcp_info.push_back(r);
  }
  note("connect " + port_text(to));
  if (g_sflt->detach_on_connect) {
    EXPECT_EQ(sflt_detach(so, 7), 0);
  }
  return 0;
}
void sf_unregistered(sflt_handle) { ++g_sflt->unregistered; }

TEST_F(LinuxBackend, SocketFiltersFollowTheFlowsOfTheirProcess) {
  Recorder rec;
  g_rec = &rec;
  SfltLog log;
  g_sflt = &log;
  const sflt_filter tcp{7,         SFLT_GLOBAL, "t",         sf_unregistered, sf_attach, sf_detach,
                        sf_notify, sf_data_in,  sf_data_out, sf_connect_out,  nullptr};
  sflt_filter udp = tcp, ping = tcp;
  udp.sf_handle = 8;
  ping.sf_handle = 9;
  ping.sf_notify = nullptr;
  ASSERT_EQ(sflt_register(&tcp, PF_INET, SOCK_STREAM, IPPROTO_TCP), 0);
  ASSERT_EQ(sflt_register(&udp, PF_INET, SOCK_DGRAM, IPPROTO_UDP), 0);
  ASSERT_EQ(sflt_register(&ping, PF_INET, SOCK_DGRAM, IPPROTO_ICMP), 0);
  EXPECT_EQ(sflt_register(&udp, PF_INET, SOCK_DGRAM, IPPROTO_UDP), EEXIST);

  // A TCP connection made before the queues run: its later segments never attach it.
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto la = sin(kLocal, 9200);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&la), sizeof la), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  int early = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(early, reinterpret_cast<sockaddr*>(&la), sizeof la), 0);
  int early_peer = ::accept(listener, nullptr, nullptr);
  timeval wait_tv{5, 0};
  ::setsockopt(early_peer, SOL_SOCKET, SO_RCVTIMEO, &wait_tv, sizeof wait_tv);

  ipf_filter f{nullptr, "test", rec_input, rec_output, rec_detach};
  ipfilter_t ref = nullptr;
  ASSERT_EQ(ipf_addv4(&f, &ref), 0);
  ASSERT_EQ(lb::chains_set_jumps(true), 0);  // as the master switch does
  // A send returns before its packet's verdict: wait for the queue thread's callbacks.
  auto take = [&](size_t expected = 0) {
    std::unique_lock g(log.m);
    log.cv.wait_for(g, std::chrono::seconds(5), [&] { return log.events.size() >= expected; });
    auto e = log.events;
    log.events.clear();
    return e;
  };
  using V = std::vector<std::string>;
  const std::string me = "attach kern_linux_test bound";

  // Connected UDP: attach, connect out, bound, data out; then data out per datagram.
  int sink = udp_bound(9300);
  int u = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  timeval tv{5, 0};
  ::setsockopt(u, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto ua = sin(kLocal, 9300);
  ASSERT_EQ(::connect(u, reinterpret_cast<sockaddr*>(&ua), sizeof ua), 0);
  ASSERT_EQ(::send(u, "first", 5, 0), 5);
  EXPECT_EQ(receive(sink), "first");
  ASSERT_EQ(::send(u, "second", 6, 0), 6);
  EXPECT_EQ(receive(sink), "second");
  EXPECT_EQ(take(), (V{me, "connect 9300", "notify 10", "out 9300 first", "out 9300 second"}));

  // Unconnected UDP: no connect out; an answer injected to it is data in.
  int v = udp_bound(9301);
  auto resolver = sin("198.51.100.53", 53);
  ASSERT_EQ(::sendto(v, "query", 5, 0, reinterpret_cast<sockaddr*>(&resolver), sizeof resolver), 5);
  Bytes answer = udp_packet("198.51.100.53", 53, kLocal, 9301, "back");
  mbuf_t m = nullptr;
  ASSERT_EQ(mbuf_allocpacket(answer.size(), &m), 0);
  std::memcpy(mbuf_data(m), answer.data(), answer.size());
  EXPECT_EQ(take(3), (V{me, "notify 10", "out 53 query"}));
  ASSERT_EQ(ipf_inject_input(m, ref), 0);
  EXPECT_EQ(receive(v), "back");
  EXPECT_EQ(take(1), (V{"in 53 4"}));

  // TCP: a SYN attaches; a detach asked inside connect out runs after it, and no notify follows.
  log.detach_on_connect = true;
  int t = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(t, reinterpret_cast<sockaddr*>(&la), sizeof la), 0);
  int t_peer = ::accept(listener, nullptr, nullptr);
  ASSERT_EQ(::send(early, "old", 3, 0), 3);
  char buf[8];
  ASSERT_EQ(::recv(early_peer, buf, sizeof buf, 0), 3);
  EXPECT_EQ(take(3), (V{me, "connect 9200", "detach"}));
  // The kernel's own connection times for the TCP socket; a UDP socket has none.
  EXPECT_EQ(log.tcp_info, (std::vector<errno_t>{EOPNOTSUPP, 0}));

  // A ping socket: attached by its echo id, the ICMP header handed as data out.
  int ping_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  ASSERT_GE(ping_fd, 0) << std::strerror(errno);
  uint8_t echo[16] = {8, 0, 0, 0, 0, 0, 0, 1, 'p', 'i', 'n', 'g'};
  auto pa = sin(kLocal, 0);
  ASSERT_EQ(::sendto(ping_fd, echo, sizeof echo, 0, reinterpret_cast<sockaddr*>(&pa), sizeof pa),
            16);
  {
    auto e = take(2);
    EXPECT_EQ(e.size(), 2u);
    if (e.size() == 2) {
      EXPECT_EQ(e[0], me);
      EXPECT_EQ(e[1].substr(0, 6), "out 0 ");
    }
  }

  // Leaving: every attached socket is detached once, then each filter's unregistered runs.
  EXPECT_EQ(sflt_unregister(8), 0);
  EXPECT_EQ(take(), (V{"detach", "detach"}));  // both UDP sockets
  EXPECT_EQ(sflt_unregister(7), 0);            // its socket was detached already
  EXPECT_EQ(sflt_unregister(9), 0);
  EXPECT_EQ(take(), (V{"detach"}));
  EXPECT_EQ(log.unregistered, 3);
  EXPECT_EQ(sflt_unregister(9), ENOENT);
  // Without filters nothing attaches.
  ASSERT_EQ(::send(u, "third", 5, 0), 5);
  EXPECT_EQ(receive(sink), "third");
  EXPECT_TRUE(take().empty());

  ASSERT_EQ(ipf_remove(ref), 0);
  for (int fd : {listener, early, early_peer, sink, u, v, t, t_peer, ping_fd}) ::close(fd);
  g_sflt = nullptr;
  g_rec = nullptr;
}

// What the socket monitor and the kernel's destroy events tell the filters: events in order,
// bytes counted apart (the monitor hands counts, not data).
struct Tally {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> events;
  uint64_t out = 0, in = 0;
  std::vector<errno_t> connected_info;  // sock_tcp_info at each connected
};
Tally* g_tally = nullptr;

void tally(const std::string& e) {
  std::lock_guard g(g_tally->m);
  g_tally->events.push_back(e);
  g_tally->cv.notify_all();
}
errno_t ta_attach(void** cookie, socket_t) {
  *cookie = g_tally;
  tally("attach");
  return 0;
}
void ta_detach(void*, socket_t) { tally("detach"); }
void ta_notify(void*, socket_t so, sflt_event ev, void*) {
  if (ev == sock_evt_connected) {
    tcp_conn_info info{};
    errno_t r = sock_tcp_info(so, &info);
    std::lock_guard g(g_tally->m);
    g_tally->connected_info.push_back(r == 0 && info.srtt_ms < 1000 ? 0 : r);
  }
  tally("notify " + std::to_string(ev));
}
errno_t ta_count(bool out, mbuf_t* data) {
  std::lock_guard g(g_tally->m);
  (out ? g_tally->out : g_tally->in) += mbuf_len(*data);
  g_tally->cv.notify_all();
  return 0;
}
errno_t ta_out(void*, socket_t, const sockaddr_in*, mbuf_t* d, int) { return ta_count(true, d); }
errno_t ta_in(void*, socket_t, const sockaddr_in*, mbuf_t* d, int) { return ta_count(false, d); }
errno_t ta_connect(void*, socket_t, const sockaddr_in*) {
  tally("connect");
  return 0;
}

class Monitored : public LinuxBackend {
 protected:
  void SetUp() override {
    LinuxBackend::SetUp();
    if (IsSkipped()) return;
    g_tally = &tally_;
    g_rec = &rec_;
    const sflt_filter base{0,         SFLT_GLOBAL, "m",    nullptr,    ta_attach, ta_detach,
                           ta_notify, ta_in,       ta_out, ta_connect, nullptr};
    sflt_filter tcp = base, udp = base, raw = base;
    tcp.sf_handle = 21;
    udp.sf_handle = 22;
    raw.sf_handle = 23;
    ASSERT_EQ(sflt_register(&tcp, PF_INET, SOCK_STREAM, IPPROTO_TCP), 0);
    ASSERT_EQ(sflt_register(&udp, PF_INET, SOCK_DGRAM, IPPROTO_UDP), 0);
    ASSERT_EQ(sflt_register(&raw, PF_INET, SOCK_RAW, IPPROTO_ICMP), 0);
    ipf_filter f{nullptr, "test", rec_input, rec_output, rec_detach};
    ASSERT_EQ(ipf_addv4(&f, &ref_), 0);
    ASSERT_EQ(lb::chains_set_jumps(true), 0);
  }
  void TearDown() override {
    if (IsSkipped()) return;
    lb::set_listed_names_source(nullptr);
    if (ref_) {
      EXPECT_EQ(ipf_remove(ref_), 0);
    }
    for (sflt_handle h : {21u, 22u, 23u}) sflt_unregister(h);
    for (int fd : fds_) ::close(fd);
    g_tally = nullptr;
    g_rec = nullptr;
  }
  int keep(int fd) {
    fds_.push_back(fd);
    return fd;
  }
  // Waits until `n` events arrived (or a safety time passed), and takes them.
  std::vector<std::string> take(size_t n) {
    std::unique_lock g(tally_.m);
    tally_.cv.wait_for(g, std::chrono::seconds(5), [&] { return tally_.events.size() >= n; });
    auto e = tally_.events;
    tally_.events.clear();
    return e;
  }
  std::vector<std::string> take_now() {
    std::lock_guard g(tally_.m);
    auto e = tally_.events;
    tally_.events.clear();
    return e;
  }
  bool wait_bytes(uint64_t out, uint64_t in) {
    std::unique_lock g(tally_.m);
    return tally_.cv.wait_for(g, std::chrono::seconds(5),
                              [&] { return tally_.out == out && tally_.in == in; });
  }
  // A connected UDP socket that sends one datagram to `sink_port` (received there first, so its
  // packet has had its verdict).
  int udp_send(int sink, uint16_t sink_port, int fd = -1) {
    if (fd < 0) fd = keep(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    auto a = sin(kLocal, sink_port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::send(fd, "d", 1, 0), 1);
    EXPECT_EQ(receive(sink), "d");
    return fd;
  }

  Tally tally_;
  Recorder rec_;
  ipfilter_t ref_ = nullptr;
  std::vector<int> fds_;
};

using V = std::vector<std::string>;

TEST_F(Monitored, TcpConnectedBytesAndClosingFromTheKernel) {
  int listener = keep(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto la = sin(kLocal, 9400);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&la), sizeof la), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&la), sizeof la), 0);
  int s = keep(::accept(listener, nullptr, nullptr));
  lb::monitor_check_now();  // established by now: the check finds it so
  EXPECT_EQ(take(4), (V{"attach", "connect", "notify 1", "notify 2"}));
  EXPECT_EQ(tally_.connected_info, (std::vector<errno_t>{0}));

  // Data of either direction, counted by the kernel, reaches the filter at the next check.
  std::string out(1000, 'o'), back(300, 'b');
  ASSERT_EQ(::send(c, out.data(), out.size(), 0), 1000);
  std::string got;
  char buf[2048];
  while (got.size() < 1000) {
    ssize_t n = ::recv(s, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    got.append(buf, static_cast<size_t>(n));
  }
  ASSERT_EQ(::send(s, back.data(), back.size(), 0), 300);
  size_t read_back = 0;
  while (read_back < 300) {
    ssize_t n = ::recv(c, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    read_back += static_cast<size_t>(n);
  }
  lb::monitor_check_now();
  EXPECT_TRUE(wait_bytes(1000, 300)) << tally_.out << " " << tally_.in;
  lb::monitor_check_now();  // a second look adds nothing
  // Closed by us: closing once, then the kernel's destroy event detaches; counts stay exact.
  ::close(c);
  ASSERT_EQ(::recv(s, buf, sizeof buf, 0), 0);
  EXPECT_EQ(take(2), (V{"notify 9", "detach"}));
  lb::monitor_check_now();
  EXPECT_TRUE(wait_bytes(1000, 300)) << tally_.out << " " << tally_.in;
  EXPECT_TRUE(take_now().empty());
}

TEST_F(Monitored, RefusedConnectionClosesWithoutConnected) {
  int c = keep(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto nobody = sin(kLocal, 9401);  // nothing listens: the kernel answers with a reset
  EXPECT_NE(::connect(c, reinterpret_cast<sockaddr*>(&nobody), sizeof nobody), 0);
  EXPECT_EQ(errno, ECONNREFUSED);
  // The refused socket leaves the kernel's tables without ever being destroyed while open: the
  // monitor finds it gone.
  lb::monitor_check_now();
  EXPECT_EQ(take(5), (V{"attach", "connect", "notify 1", "notify 9", "detach"}));
}

TEST_F(Monitored, UdpCloseDetachesAndEarlierSocketsStayOutside) {
  int sink = keep(udp_bound(9410));
  int before = keep(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  auto a = sin(kLocal, 0);
  ASSERT_EQ(::bind(before, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  // A switch turns on: sockets open now are declined, sockets made afterwards attach.
  lb::decline_existing_sockets(false, true);
  udp_send(sink, 9410, before);
  EXPECT_TRUE(take_now().empty());
  int after = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  udp_send(sink, 9410, after);
  EXPECT_EQ(take(3), (V{"attach", "connect", "notify 10"}));
  {
    std::lock_guard g(tally_.m);
    EXPECT_EQ(tally_.out, 1u);
  }
  sockaddr_in used{};
  socklen_t ul = sizeof used;
  ASSERT_EQ(::getsockname(after, reinterpret_cast<sockaddr*>(&used), &ul), 0);
  ::close(after);  // the kernel's destroy event
  EXPECT_EQ(take(1), (V{"detach"}));
  // A new socket on the very same addresses and ports is a socket of its own.
  int reused = keep(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(reused, reinterpret_cast<sockaddr*>(&used), sizeof used), 0);
  udp_send(sink, 9410, reused);
  EXPECT_EQ(take(3), (V{"attach", "connect", "notify 10"}));
}

TEST_F(Monitored, OwnersAreLookedForAmongListedNames) {
  int sink = keep(udp_bound(9420));
  struct Case {
    const char* what;
    std::vector<std::string> (*names)();
    bool attached;
  };
  const Case cases[] = {
      {"another name", [] { return std::vector<std::string>{"tslother"}; }, false},
      {"nothing listed", [] { return std::vector<std::string>{}; }, false},
      {"ours, in other case",
       [] {
         return std::vector<std::string>{"x", "KERN_LINUX_TEST"};
       },
       true},
      {"every process",
       [] {
         return std::vector<std::string>{"tslother", "*"};
       },
       true},
  };
  for (const auto& c : cases) {
    lb::set_listed_names_source(c.names);
    udp_send(sink, 9420);
    EXPECT_EQ(take_now(), c.attached ? (V{"attach", "connect", "notify 10"}) : V{}) << c.what;
  }
}

// A flow of a socket the filters declined is queued once: its connection keeps the left-out mark
// and its later packets pass the chain. Another user's socket is declined without a lookup; a
// socket the filters took stays queued.
TEST_F(Monitored, DeclinedFlowsLeaveTheQueue) {
  int sink = keep(udp_bound(9430));
  struct Case {
    const char* what;
    std::vector<std::string> (*names)();
    uid_t served;
    size_t queued;
  };
  const Case cases[] = {
      {"not listed", [] { return std::vector<std::string>{"tslother"}; }, 0, 1},
      {"another user's", [] { return std::vector<std::string>{"*"}; }, 4321, 1},
      {"taken", [] { return std::vector<std::string>{"*"}; }, 0, 3},
  };
  for (const auto& c : cases) {
    lb::set_listed_names_source(c.names);
    lb::set_owner_uid(c.served);
    {
      std::lock_guard g(rec_.m);
      rec_.out_ports.clear();
    }
    int fd = udp_send(sink, 9430);
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(::send(fd, "d", 1, 0), 1);
      EXPECT_EQ(receive(sink), "d");
    }
    std::lock_guard g(rec_.m);
    EXPECT_EQ(std::count(rec_.out_ports.begin(), rec_.out_ports.end(), 9430), c.queued) << c.what;
    take(c.queued == 3 ? 3 : 0);
  }
  lb::set_owner_uid(0);
  // The later packets passed by their connection's mark (four of them at least).
  std::string passed =
      output_of("iptables-save -c -t mangle | grep -- '-m connmark' | tr -d '[' | cut -d: -f1");
  EXPECT_GE(std::atoi(passed.c_str()), 4) << output_of("iptables-save -c -t mangle");
}

// A new socket's datagrams wait for its owner off the queue's thread and leave in their order:
// the filter sees each once, in order, and so does the receiver.
TEST_F(Monitored, HeldPacketsLeaveInOrder) {
  int sink = keep(udp_bound(9440));
  int fd = keep(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  auto a = sin(kLocal, 9440);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  constexpr int kCount = 40;
  for (int i = 0; i < kCount; ++i) {
    std::string text = std::to_string(i);
    ASSERT_EQ(::send(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  }
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(receive(sink), std::to_string(i));
  EXPECT_EQ(take(3), (V{"attach", "connect", "notify 10"}));
  std::lock_guard g(tally_.m);
  EXPECT_EQ(tally_.out, static_cast<uint64_t>(10 + 2 * (kCount - 10)));  // the bytes of "0".."39"
}

// Raw ICMP sockets: the one a listed process holds, else the one whose pid is the echo id.
TEST_F(Monitored, RawIcmpOwners) {
  auto echo = [](int fd, uint16_t id) {
    uint8_t e[16] = {8, 0, 0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0, 1};
    auto to = sin("198.51.100.9", 0);  // routed out of the namespace: no answer comes back
    return ::sendto(fd, e, sizeof e, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  // Each send's verdict precedes the marker's arrival: the queue keeps order.
  int marker_sink = keep(udp_bound(9430));
  auto settle = [&] { udp_send(marker_sink, 9430); };
  lb::set_listed_names_source([] { return std::vector<std::string>{"kern_linux_test"}; });
  int r1 = keep(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
  int r2 = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  ASSERT_GE(r1, 0);
  const uint16_t mine = static_cast<uint16_t>(::getpid() & 0xffff);
  const uint16_t other = static_cast<uint16_t>(mine ^ 0x5a5a);
  ASSERT_EQ(echo(r1, other), 16);
  settle();
  // Two raw sockets and an id that names neither: no owner (the marker's socket attaches).
  EXPECT_EQ(take(3), (V{"attach", "connect", "notify 10"}));
  ASSERT_EQ(echo(r2, mine), 16);
  settle();
  EXPECT_EQ(take(4), (V{"attach", "attach", "connect", "notify 10"}));
  ::close(r2);
  lb::monitor_check_now();
  EXPECT_EQ(take(1), (V{"detach"}));
  // One raw socket left in a listed process: it owns any id.
  ASSERT_EQ(echo(r1, other), 16);
  settle();
  EXPECT_EQ(take(4), (V{"attach", "attach", "connect", "notify 10"}));
}

// Round-trip times come from the kernel's record of the exact connection, and stop with it.
TEST_F(LinuxBackend, TcpTimesFollowTheConnection) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto la = sin(kLocal, 9210);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&la), sizeof la), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&la), sizeof la), 0);
  int s = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(s, 0);
  char buf[4];
  for (int i = 0; i < 3; ++i) {  // a few acknowledged exchanges give the estimator samples
    ASSERT_EQ(::send(c, "ab", 2, 0), 2);
    ASSERT_EQ(::recv(s, buf, sizeof buf, 0), 2);
    ASSERT_EQ(::send(s, "cd", 2, 0), 2);
    ASSERT_EQ(::recv(c, buf, sizeof buf, 0), 2);
  }
  sockaddr_in mine{};
  socklen_t ml = sizeof mine;
  ASSERT_EQ(::getsockname(c, reinterpret_cast<sockaddr*>(&mine), &ml), 0);
  lb::FlowKey key{IPPROTO_TCP, mine.sin_addr.s_addr, ntohs(mine.sin_port), la.sin_addr.s_addr,
                  9210};
  lb::TcpTimes t;
  ASSERT_TRUE(lb::tcp_times(key, &t));
  EXPECT_GT(t.srtt_us, 0u);
  EXPECT_LT(t.srtt_us, 1000000u);  // loopback within a namespace: far below a second

  struct Miss {
    const char* what;
    lb::FlowKey key;
  };
  const Miss misses[] = {
      {"other peer port", {IPPROTO_TCP, key.local_addr, key.local_port, key.remote_addr, 9211}},
      {"other local port",
       {IPPROTO_TCP, key.local_addr, static_cast<uint16_t>(key.local_port + 1), key.remote_addr,
        9210}},
      {"not TCP", {IPPROTO_UDP, key.local_addr, key.local_port, key.remote_addr, 9210}},
  };
  for (const auto& m : misses) {
    lb::TcpTimes none;
    EXPECT_FALSE(lb::tcp_times(m.key, &none)) << m.what;
  }

  // Closed first on our side: what is left is a time-wait entry, with no times to read.
  ::close(c);
  ASSERT_EQ(::recv(s, buf, sizeof buf, 0), 0);
  ::close(s);
  ::close(listener);
  lb::TcpTimes gone;
  EXPECT_FALSE(lb::tcp_times(key, &gone));
}

// Upcalls of the kernel sockets: data arrives on the reactor thread; a socket may close inside
// its own upcall or from another thread.
struct UpcallState {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> got;
  bool close_inside = false;
};

void on_readable(socket_t so, void* cookie, int) {
  auto* st = static_cast<UpcallState*>(cookie);
  for (;;) {
    mbuf_t m = nullptr;
    errno_t r = sock_receivembuf(so, &m);
    if (r != 0) {
      EXPECT_EQ(r, EWOULDBLOCK);
      break;
    }
    std::string text(reinterpret_cast<char*>(mbuf_data(m)), mbuf_len(m));
    mbuf_freem(m);
    std::lock_guard g(st->m);
    st->got.push_back(text);
    if (st->close_inside) {
      sock_close(so);
      st->cv.notify_all();
      return;
    }
  }
  st->cv.notify_all();
}

// A socket's owner: the process that held the user's last socket is asked first, and another
// process's socket is still found as its own, a socket nobody holds as no one's.
TEST_F(LinuxBackend, OwnersFoundAgainAndElsewhere) {
  auto inode = [](int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    return static_cast<uint64_t>(st.st_ino);
  };
  int report[2], hold[2];
  ASSERT_EQ(::pipe(report), 0);
  ASSERT_EQ(::pipe(hold), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(hold[1]);  // its read ends when the test closes its own end
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    struct stat st {};
    ::fstat(fd, &st);
    uint64_t ino = st.st_ino;
    char c;
    if (::write(report[1], &ino, sizeof ino) != sizeof ino || ::read(hold[0], &c, 1) < 0) _exit(1);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  ::close(hold[0]);
  uint64_t child_socket = 0;
  ASSERT_EQ(::read(report[0], &child_socket, sizeof child_socket),
            static_cast<ssize_t>(sizeof child_socket));
  int mine = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int also_mine = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int gone = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const uint64_t gone_inode = inode(gone);
  ::close(gone);
  const uid_t me = ::geteuid();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(lb::find_owner(inode(mine), {}, me), ::getpid());
    EXPECT_EQ(lb::find_owner(child_socket, {}, me), child);
    EXPECT_EQ(lb::find_owner(inode(also_mine), {}, me), ::getpid());
    EXPECT_EQ(lb::find_owner(gone_inode, {}, me), 0);
    // Listed names only: a holder outside the list is no owner, asked first or not.
    lb::OwnerScope other = lb::OwnerScope::from_names({"not-this-test"});
    EXPECT_EQ(lb::find_owner(inode(mine), other, me), 0);
  }
  ::close(hold[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  for (int fd : {mine, also_mine, report[0], report[1]}) ::close(fd);
}

// A UDP flow's socket: the one connected to its peer before one only bound to the port, and one
// bound to a device too (the kernel's own lookup leaves it out, the walk over the port finds it).
TEST_F(LinuxBackend, UdpFlowsFindTheirSocket) {
  auto bound = [](uint16_t port, bool reuse) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    auto a = sin(kLocal, port);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
  };
  auto inode = [](int fd) {
    struct stat st {};
    ::fstat(fd, &st);
    return static_cast<uint64_t>(st.st_ino);
  };
  int loose = bound(9200, true), tied = bound(9200, true);
  auto peer = sin("192.0.2.7", 7000);
  ASSERT_EQ(::connect(tied, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0);
  int on_device = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::setsockopt(on_device, SOL_SOCKET, SO_BINDTODEVICE, "v0", 3), 0);
  auto a = sin(kLocal, 9201);
  ASSERT_EQ(::bind(on_device, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const uint32_t local = sin(kLocal, 0).sin_addr.s_addr;
  struct Case {
    uint16_t port;
    const char* remote;
    uint16_t remote_port;
    uint64_t want;
  } cases[] = {
      {9200, "192.0.2.7", 7000, inode(tied)},
      {9200, "192.0.2.8", 7000, inode(loose)},
      {9200, "192.0.2.7", 7001, inode(loose)},
      {9201, "192.0.2.9", 53, inode(on_device)},
      {9202, "192.0.2.9", 53, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.port) + " to " + c.remote + ":" + std::to_string(c.remote_port));
    lb::FlowKey key{IPPROTO_UDP, local, c.port, sin(c.remote, 0).sin_addr.s_addr, c.remote_port};
    lb::SocketIdentity id;
    EXPECT_EQ(lb::find_socket(key, &id), c.want != 0);
    EXPECT_EQ(id.inode, c.want);
  }
  for (int fd : {loose, tied, on_device}) ::close(fd);
}

// Datagrams that arrive together are read several at a time: each still comes out whole, once,
// in order, an empty one and one near the largest size included.
TEST_F(LinuxBackend, KernelSocketsReadBurstsWhole) {
  int peer = udp_bound(9101);
  UpcallState st;
  socket_t so = nullptr;
  ASSERT_EQ(sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, on_readable, &st, &so), 0);
  auto to = sin(kLocal, 9101);
  ASSERT_EQ(sock_connect(so, &to, 0), 0);
  ASSERT_EQ(sock_nonblock(so, true), 0);
  size_t sent = 0;
  ASSERT_EQ(sock_send(so, "ping", 4, &sent), 0);
  sockaddr_in from{};
  ASSERT_EQ(receive(peer, &from), "ping");
  std::vector<std::string> burst;
  for (int i = 0; i < 70; ++i) {
    size_t len = i == 7 ? 0 : i == 40 ? 60000 : static_cast<size_t>(i * 131 % 1200 + 1);
    burst.emplace_back(len, static_cast<char>('a' + i % 26));
    ASSERT_EQ(::sendto(peer, burst.back().data(), len, 0, reinterpret_cast<sockaddr*>(&from),
                       sizeof from),
              static_cast<ssize_t>(len));
  }
  {
    std::unique_lock g(st.m);
    ASSERT_TRUE(
        st.cv.wait_for(g, std::chrono::seconds(5), [&] { return st.got.size() >= burst.size(); }));
    EXPECT_EQ(st.got, burst);
  }
  sock_close(so);
  EXPECT_EQ(lb::sockets_shutdown(), 0);
  ::close(peer);
}

TEST_F(LinuxBackend, KernelSocketsUpcallsAndCloses) {
  int peer = udp_bound(9100);
  for (bool close_inside : {false, true}) {
    SCOPED_TRACE(close_inside ? "closed inside its upcall" : "closed by its owner");
    UpcallState st;
    st.close_inside = close_inside;
    socket_t so = nullptr;
    ASSERT_EQ(sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, on_readable, &st, &so), 0);
    auto to = sin(kLocal, 9100);
    ASSERT_EQ(sock_connect(so, &to, 0), 0);
    ASSERT_EQ(sock_nonblock(so, true), 0);
    size_t sent = 0;
    ASSERT_EQ(sock_send(so, "ping", 4, &sent), 0);
    sockaddr_in from{};
    ASSERT_EQ(receive(peer, &from), "ping");
    std::string big(3000, 'b');
    ASSERT_EQ(
        ::sendto(peer, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from),
        3000);
    {
      std::unique_lock g(st.m);
      ASSERT_TRUE(st.cv.wait_for(g, std::chrono::seconds(5), [&] { return !st.got.empty(); }));
      EXPECT_EQ(st.got[0], big);
    }
    if (!close_inside) sock_close(so);
  }
  // The sockets' thread ends once none is open; a new socket starts it again.
  socket_t open = nullptr;
  ASSERT_EQ(sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, nullptr, &open), 0);
  EXPECT_EQ(lb::sockets_shutdown(), EBUSY);
  sock_close(open);
  EXPECT_EQ(lb::sockets_shutdown(), 0);
  EXPECT_EQ(lb::sockets_shutdown(), 0);
  UpcallState st;
  socket_t again = nullptr;
  ASSERT_EQ(sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, on_readable, &st, &again), 0);
  auto to = sin(kLocal, 9100);
  ASSERT_EQ(sock_connect(again, &to, 0), 0);
  size_t sent = 0;
  ASSERT_EQ(sock_send(again, "ping", 4, &sent), 0);
  sockaddr_in from{};
  ASSERT_EQ(receive(peer, &from), "ping");
  ASSERT_EQ(::sendto(peer, "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), sizeof from), 4);
  {
    std::unique_lock g(st.m);
    ASSERT_TRUE(st.cv.wait_for(g, std::chrono::seconds(5), [&] { return !st.got.empty(); }));
    EXPECT_EQ(st.got[0], "pong");
  }
  sock_close(again);
  EXPECT_EQ(lb::sockets_shutdown(), 0);
  ::close(peer);
}

TEST_F(LinuxBackend, LostSourceAddressIsAddrNotAvail) {
  socket_t so = nullptr;
  ASSERT_EQ(sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, nullptr, &so), 0);
  auto to = sin("203.0.113.7", 9);
  ASSERT_EQ(sock_connect(so, &to, 0), 0);
  ASSERT_EQ(sock_nonblock(so, true), 0);
  size_t sent = 0;
  EXPECT_EQ(sock_send(so, "x", 1, &sent), 0);
  ASSERT_EQ(std::system("ip addr del 192.0.2.1/24 dev v0 && ip addr add 192.0.2.2/24 dev v0 && "
                        "ip route add default via 192.0.2.254"),
            0);
  // Linux answers ENETUNREACH (older kernels EINVAL) once the source address is gone.
  EXPECT_EQ(sock_send(so, "x", 1, &sent), EADDRNOTAVAIL);
  sock_close(so);
  // Only the route gone, the address still there: that stays what it is.
  ASSERT_EQ(sock_socket(PF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, nullptr, &so), 0);
  ASSERT_EQ(sock_connect(so, &to, 0), 0);
  ASSERT_EQ(std::system("ip route del default"), 0);
  EXPECT_EQ(sock_send(so, "x", 1, &sent), ENETUNREACH);
  sock_close(so);
  ASSERT_EQ(std::system("ip addr del 192.0.2.2/24 dev v0 && ip addr add 192.0.2.1/24 dev v0 && "
                        "ip route replace default via 192.0.2.254"),
            0);
}

// A record written alone comes after every record made before it, also those another thread
// (or the same one) still holds for company: a socket's end never overtakes its last packets.
TEST(ControlRecords, RecordWrittenAloneComesAfterHeldOnes) {
  char dir[] = "/tmp/kctl-order-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  lb::configure_control({dir, ::geteuid()});
  kern_ctl_reg reg{};
  reg.ctl_name = "test.records.order";
  kern_ctl_ref ctl = nullptr;
  ASSERT_EQ(ctl_register(&reg, &ctl), 0);
  platform::kctl::Client client;
  ASSERT_EQ(client.connect(platform::kctl::wire::socket_path(dir, reg.ctl_name)), 0);
  const uint32_t unit = client.unit();
  auto put = [&](const std::string& text) {
    return ctl_enqueuedata(ctl, unit, text.data(), text.size(), 0);
  };

  // A packet thread: its batch lingers, holding "in"; it stays alive (an ending thread writes what
  // it holds) until told, then writes a record alone, after what it still holds itself.
  std::mutex m;
  std::condition_variable cv;
  int step = 0;
  std::thread packets([&] {
    EXPECT_EQ(lb::record_batch_wait(false), -1);
    lb::record_batch_begin();
    EXPECT_EQ(put("in 1"), 0);
    lb::record_batch_end();
    {
      std::unique_lock g(m);
      step = 1;
      cv.notify_all();
      cv.wait(g, [&] { return step == 2; });
    }
    lb::record_batch_begin();
    EXPECT_EQ(put("in 2"), 0);
    lb::record_batch_end();
    EXPECT_EQ(put("alone on the packet thread"), 0);
    EXPECT_EQ(lb::record_batch_wait(true), -1);
  });
  {
    std::unique_lock g(m);
    cv.wait(g, [&] { return step == 1; });
  }
  EXPECT_EQ(put("closed"), 0);
  {
    std::lock_guard g(m);
    step = 2;
    cv.notify_all();
  }
  packets.join();

  std::vector<std::string> got;
  char buf[256];
  for (int i = 0; i < 4; ++i) {
    long n = client.readRecord(buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.emplace_back(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got,
            (std::vector<std::string>{"in 1", "closed", "in 2", "alone on the packet thread"}));
  client.close();
  // The session ends on the control's own thread a moment later; deregister waits for it.
  EXPECT_EQ(ctl_deregister(ctl), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace platform::kern
