// Packets that the kernel really sends, read from a TUN device in a network namespace of the
// test's own: a name lookup through the namespace's resolver (answered by the test through the
// TUN) and a UDP datagram to the looked-up address give the expected session records.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "Brevant/Brevant.h"
#include "Brevant/DnsMessage.h"
#include "Brevant/Packet.h"
#include "PacketBuilder.h"
#include "systest/Systest.h"

namespace fs = std::filesystem;
using testpkt::Bytes;
using testpkt::ip;

namespace {

const uint32_t kResolver = ip("198.18.0.1");
const uint32_t kGame = ip("203.0.113.10");

// The namespace's own resolv.conf, which `ip netns exec` binds over /etc/resolv.conf; it goes
// with the test, whatever happens in between.
class NetnsResolvConf {
 public:
  NetnsResolvConf(const systest::Netns& ns, const std::string& content)
      : dir_(fs::path("/etc/netns") / ns.name()) {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "resolv.conf") << content;
  }
  ~NetnsResolvConf() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  NetnsResolvConf(const NetnsResolvConf&) = delete;
  NetnsResolvConf& operator=(const NetnsResolvConf&) = delete;

 private:
  fs::path dir_;
};

int openTun(const char* name) {
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
  if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Next IPv4 packet from the TUN that satisfies want; IPv6 and other chatter is passed over.
// Gives up after 10 s, or earlier once stop() says so.
std::optional<Bytes> readUntil(
    int tun, const std::function<bool(const Bytes&)>& want,
    const std::function<bool()>& stop = [] { return false; }) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline && !stop()) {
    pollfd p{tun, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    Bytes buf(65536);
    ssize_t n = read(tun, buf.data(), buf.size());
    if (n <= 0) continue;
    buf.resize(static_cast<size_t>(n));
    if (brevant::parse_ipv4(buf) && want(buf)) return buf;
  }
  return std::nullopt;
}

// The answer to a query packet: A queries get kGame, other types an empty answer.
Bytes answerTo(const Bytes& query) {
  auto info = brevant::parse_ipv4(query);
  Bytes dns(query.begin() + static_cast<long>(info->payload_offset + 8), query.end());
  auto msg = brevant::parse_dns_message(dns);
  bool isA = msg->questions[0].type == brevant::kDnsTypeA;
  dns.resize(msg->end);
  dns[2] = 0x81;
  dns[3] = 0x80;
  dns[7] = isA ? 1 : 0;
  if (isA) {
    Bytes rr = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 203, 0, 113, 10};
    dns.insert(dns.end(), rr.begin(), rr.end());
  }
  return testpkt::udp(info->dst, info->dst_port, info->src, info->src_port, dns);
}

TEST(KernelPackets, LookupAndGameTrafficGiveSessionRecords) {
  if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
  if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun here";
  systest::Netns ns(systest::uniqueName("brvt"));
  if (!ns.valid()) GTEST_SKIP() << "cannot make a network namespace here";
  NetnsResolvConf resolvConf(ns, "nameserver 198.18.0.1\noptions timeout:2 attempts:1\n");
  // The TUN and the game's socket are made by this thread, so they live in the namespace.
  systest::Netns::Enter inside(ns);
  ASSERT_TRUE(inside.entered());
  int tun = openTun("brvt0");
  ASSERT_GE(tun, 0) << "TUN device";
  ASSERT_TRUE(ns.ok("ip link set brvt0 up"));
  ASSERT_TRUE(ns.ok("ip addr add 198.18.0.2/24 dev brvt0"));
  ASSERT_TRUE(ns.ok("ip route add 203.0.113.0/24 dev brvt0"));

  // The lookup runs in the namespace with its own resolv.conf naming 198.18.0.1.
  auto lookup = systest::Process::spawn(
      {"/bin/ip", "netns", "exec", ns.name(), "getent", "ahostsv4", "game.example"});

  brevant::DomainTable domains;
  brevant::DnsRedirectTable redirects;
  bool sawQuery = false;
  auto lookupDone = [&] { return !lookup.running(); };
  // Answer every query the resolver sends until the lookup ends.
  for (int i = 0; i < 8; ++i) {
    auto query = readUntil(
        tun,
        [](const Bytes& p) {
          auto info = brevant::parse_ipv4(p);
          return info->protocol == 17 && info->has_transport && info->dst_port == 53;
        },
        lookupDone);
    if (!query) break;
    brevant::ip_session_info s;
    ASSERT_TRUE(brevant::get_ip_session_info(&domains, s, *query, brevant::kDirectionOutgoing));
    EXPECT_TRUE(s.is_dns);
    EXPECT_EQ(s.domain, "game.example");
    EXPECT_EQ(s.dst_ip, kResolver);
    EXPECT_EQ(ntohs(s.dst_port), 53);
    EXPECT_EQ(s.protocol, 17);
    sawQuery = true;

    Bytes answer = answerTo(*query);
    brevant::ip_session_info a;
    ASSERT_TRUE(brevant::get_ip_session_info(&domains, a, answer, brevant::kDirectionIncoming));
    EXPECT_TRUE(a.is_dns);
    ASSERT_TRUE(brevant::process_dns_answer_packet(redirects, domains, answer, 1));
    ASSERT_EQ(write(tun, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
  }
  // One still running is killed when it ends with the test: that is a failed lookup too.
  EXPECT_EQ(lookup.wait(std::chrono::milliseconds(0)), std::optional<int>(0))
      << "the lookup did not succeed: " << lookup.log();
  EXPECT_TRUE(sawQuery) << "no DNS query came through the TUN";
  EXPECT_EQ(brevant::domain_of_ip(domains, kGame), "game.example");

  // The game's datagram names its destination by the learned domain.
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(27015);
  to.sin_addr.s_addr = htonl(kGame);
  const char hello[] = "hello";
  ASSERT_EQ(sendto(sock, hello, sizeof(hello), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
            static_cast<ssize_t>(sizeof(hello)));
  close(sock);
  auto game = readUntil(tun, [](const Bytes& p) { return brevant::parse_ipv4(p)->dst == kGame; });
  ASSERT_TRUE(game);
  brevant::ip_session_info s;
  ASSERT_TRUE(brevant::get_ip_session_info(&domains, s, *game, brevant::kDirectionOutgoing));
  EXPECT_FALSE(s.is_dns);
  EXPECT_EQ(s.protocol, 17);
  EXPECT_EQ(ntohs(s.dst_port), 27015);
  EXPECT_EQ(s.src_ip, ip("198.18.0.2"));
  EXPECT_EQ(s.domain, "game.example");
  EXPECT_TRUE(brevant::verify_checksums(*game));
  close(tun);
}

}  // namespace
