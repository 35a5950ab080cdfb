// Tunnel data path on the simulated kernel: frames out, frames in, path requests, MSS, sockets.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "../src/tamsel_internal.h"
#include "packets.h"
#include "sim_fixture.h"
#include "tamsel/tamsel.h"

namespace tamsel::testing {
namespace {

using namespace abi;

constexpr char kEntrance[] = "203.0.113.10";

class TunnelTest : public SimFilter {
 protected:
  void SetUp() override {
    SimFilter::SetUp();
    Attach();
    ASSERT_EQ(AddWhite("tslgame|*|*|*", 1, 2), 0);
    Switch({KCTL_ENABLE_INTERCEPT_TCP, KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT_ICMP,
            KCTL_ENABLE_INTERCEPT});
    int32_t v = 0x01020304;
    ASSERT_EQ(SetOpt(KCTL_SET_VNI_BASE, &v, 4), 0);
    sock_ = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
    sim::socket_bind(sock_, 40000);
    auto to = sin("198.51.100.1", 7000);
    sim::socket_send(sock_, &to, Bytes(4));
    sim::clear_records();
  }
  void TearDown() override {
    if (sock_) sim::socket_close(sock_);
    SimFilter::TearDown();
  }
  int Entry(int offset, const char* nat = "nat.example", int port = 4000) {
    vni_off_entry e{};
    e.offset = offset;
    std::strcpy(e.entrance_ip, kEntrance);
    e.port = port;
    e.exit = 0x00020001;
    std::strncpy(e.exit_nat, nat, sizeof e.exit_nat - 1);
    e.stream_limit = 0x00640032;
    return SetOpt(KCTL_SET_VNI_OFF_ENTRY, &e, sizeof e);
  }
  Bytes GamePacket(size_t payload = 32) {
    return udp("10.0.0.2", 40000, "198.51.100.1", 7000, Bytes(payload, 0xab));
  }
  sim::Socket* sock_ = nullptr;
};

TEST_F(TunnelTest, FrameBytesExact) {
  ASSERT_EQ(Entry(1), 0);
  EXPECT_EQ(TextRecords().back(),
            "create udp socket (203.0.113.10:4000) for offset 1--Limite:6553650-");
  Bytes pkt = GamePacket();
  ASSERT_EQ(pkt.size(), 60u);
  ASSERT_EQ(sim::ip_output(pkt).verdict, sim::Verdict::kConsumed);
  auto sends = sim::kernel_sends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].to.sin_addr.s_addr, addr(kEntrance));
  EXPECT_EQ(ntohs(sends[0].to.sin_port), 4000);
  auto want = Bytes{101, 0, 0, 0, 0x90, 1, 0, 0, 1, 0, 2, 0, 0x32, 0, 0x64, 0, 4, 3, 2, 1, 2};
  const char nat[20] = "nat.example";
  want.insert(want.end(), nat, nat + 20);
  want.insert(want.end(), pkt.begin(), pkt.end());
  EXPECT_EQ(sends[0].bytes, want);
  // Record 3, direction out, for the packet sent.
  auto r = Records(K2U_IPPACKET);
  ASSERT_EQ(r.size(), 1u);
  k2u_ippacket_desc d;
  ASSERT_EQ(r[0].size(), sizeof d);
  std::memcpy(&d, r[0].data(), sizeof d);
  EXPECT_EQ(d.direction, K2U_DIR_OUT);
  EXPECT_EQ(d.desc.ip, addr("198.51.100.1"));
  EXPECT_EQ(ntohs(d.desc.remote_port), 7000);
  EXPECT_EQ(ntohs(d.desc.local_port), 40000);
  EXPECT_EQ(d.desc.offset, 1);
  EXPECT_EQ(d.desc.level, 2);
  EXPECT_EQ(d.desc.length, 60);
  EXPECT_STREQ(d.desc.procname, "tslgame");
  EXPECT_STREQ(d.desc.text, "tslgame|*|*|*");

  // The stream limit of every offset follows 4031.
  uint32_t limit = 0x000a0014;
  EXPECT_EQ(tamsel::tamsel_stats().stream_limit, 0u);
  ASSERT_EQ(SetOpt(KCTL_UPDATE_STREAMLIMIT, &limit, 4), 0);
  EXPECT_EQ(tamsel::tamsel_stats().stream_limit, limit);  // what the admin stats report
  sim::clear_kernel_sends();
  sim::ip_output(pkt);
  ASSERT_EQ(sim::kernel_sends().size(), 1u);
  auto sent = sim::kernel_sends()[0].bytes;
  EXPECT_EQ(Bytes(sent.begin() + 12, sent.begin() + 16), (Bytes{0x14, 0, 0x0a, 0}));
}

TEST_F(TunnelTest, NatTextTravelsAsTwentyBytes) {
  struct Case {
    const char* nat;
    Bytes field;
  } cases[] = {
      {"ABCDEFGHIJKLMNOPQRSTUVW", Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                                        'K', 'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T'}},
      {"123456789",
       Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (auto& c : cases) {
    ASSERT_EQ(Entry(1, c.nat), 0);
    sim::clear_kernel_sends();
    sim::ip_output(GamePacket());
    ASSERT_EQ(sim::kernel_sends().size(), 1u);
    auto b = sim::kernel_sends()[0].bytes;
    EXPECT_EQ(Bytes(b.begin() + 21, b.begin() + 41), c.field) << c.nat;
  }
}

TEST_F(TunnelTest, PathRequestedOncePerOffsetUntilReset) {
  char domain[64] = "";
  add_to_ip_to_domain_list(addr("198.51.100.1"), "game.example.test");
  EXPECT_EQ(sim::ip_output(GamePacket()).verdict, sim::Verdict::kConsumed);
  EXPECT_EQ(sim::ip_output(GamePacket()).verdict, sim::Verdict::kConsumed);
  auto r = Records(K2U_REQ_PATH);
  ASSERT_EQ(r.size(), 1u);
  k2u_req_path p;
  ASSERT_EQ(r[0].size(), sizeof p);
  std::memcpy(&p, r[0].data(), sizeof p);
  EXPECT_EQ(p.offset, 1u);
  EXPECT_EQ(p.level, 2u);
  EXPECT_EQ(p.ip, addr("198.51.100.1"));
  EXPECT_STREQ(p.domain, "game.example.test");
  EXPECT_TRUE(sim::kernel_sends().empty());
  (void)domain;
  // The answer lets the next packet through.
  ASSERT_EQ(Entry(1), 0);
  sim::ip_output(GamePacket());
  EXPECT_EQ(sim::kernel_sends().size(), 1u);
  EXPECT_EQ(Records(K2U_REQ_PATH).size(), 1u);
  // After a reset the same offset is asked for again, once.
  sim::socket_close(sock_);
  sock_ = nullptr;
  sim::ctl_disconnect(unit_);
  unit_ = 0;
  EXPECT_EQ(sim::open_kernel_sockets(), 0);
  Attach();
  ASSERT_EQ(AddWhite("tslgame|*|*|*", 1, 2), 0);
  Switch({KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT});
  sock_ = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
  sim::socket_bind(sock_, 40000);
  auto to = sin("198.51.100.1", 7000);
  sim::socket_send(sock_, &to, Bytes(4));
  sim::clear_records();
  sim::ip_output(GamePacket());
  sim::ip_output(GamePacket());
  EXPECT_EQ(Records(K2U_REQ_PATH).size(), 1u);
}

TEST_F(TunnelTest, SocketFailuresFailTheOptionAndStoreNothing) {
  struct Case {
    const char* what;
    void (*arm)();
    int expected;
  } cases[] = {
      {"create", [] { sim::fail_next_sock_socket(ENOBUFS); }, ENOBUFS},
      {"connect", [] { sim::fail_next_sock_connect(ENETUNREACH); }, ENETUNREACH},
      {"connect in progress", [] { sim::fail_next_sock_connect(EINPROGRESS); }, EIO},
      {"non-blocking", [] { sim::fail_next_sock_nonblock(EINTR); }, EIO},
  };
  for (auto& c : cases) {
    c.arm();
    EXPECT_EQ(Entry(3), c.expected) << c.what;
    EXPECT_EQ(tamsel_stats().server_sockets, 0u) << c.what;
    EXPECT_EQ(sim::open_kernel_sockets(), 0) << c.what;
  }
  ASSERT_EQ(Entry(3), 0);
  EXPECT_EQ(sim::open_kernel_sockets(), 1);
  // Replacing a path closes the old socket.
  ASSERT_EQ(Entry(3), 0);
  EXPECT_EQ(sim::open_kernel_sockets(), 1);
}

TEST_F(TunnelTest, LostLocalAddressRecreatesSocketAndLosesThatPacket) {
  ASSERT_EQ(Entry(1), 0);
  sim::fail_next_sock_send(EADDRNOTAVAIL);
  sim::ip_output(GamePacket());
  EXPECT_TRUE(sim::kernel_sends().empty());
  EXPECT_EQ(sim::open_kernel_sockets(), 1);
  sim::ip_output(GamePacket());
  EXPECT_EQ(sim::kernel_sends().size(), 1u);
}

TEST_F(TunnelTest, FrameTakesNoAllocation) {
  ASSERT_EQ(Entry(1), 0);
  // The copy of the packet in ip_output is the only allocation: the frame leaves from its header
  // and the packet as they lie, so a failure of any later one changes nothing.
  sim::fail_alloc_at(1);
  EXPECT_EQ(sim::ip_output(GamePacket()).verdict, sim::Verdict::kConsumed);
  ASSERT_EQ(sim::kernel_sends().size(), 1u);
  EXPECT_EQ(sim::kernel_sends()[0].bytes.size(), 41 + GamePacket().size());
}

TEST_F(TunnelTest, MoveEntrance) {
  vni_off_entry e{};
  e.offset = 5;
  std::strcpy(e.entrance_ip, "203.0.113.20");
  e.port = 5000;
  EXPECT_STREQ(tamsel::tamsel_stats().entrance_update, "");
  // No path at that offset yet: only the saved entrance changes.
  ASSERT_EQ(SetOpt(KCTL_UPDATE_ENTRANCE_SERVER, &e, sizeof e), 0);
  EXPECT_EQ(sim::open_kernel_sockets(), 0);
  EXPECT_STREQ(tamsel::tamsel_stats().entrance_update, "203.0.113.20:5000");
  ASSERT_EQ(Entry(1), 0);
  e.offset = 1;
  ASSERT_EQ(SetOpt(KCTL_UPDATE_ENTRANCE_SERVER, &e, sizeof e), 0);
  EXPECT_EQ(TextRecords().back(), "test change udp socket (203.0.113.20:5000) for offset 1");
  sim::ip_output(GamePacket());
  ASSERT_EQ(sim::kernel_sends().size(), 1u);
  EXPECT_EQ(sim::kernel_sends()[0].to.sin_addr.s_addr, addr("203.0.113.20"));
  // Exit and NAT stay.
  EXPECT_EQ(sim::kernel_sends()[0].bytes[8], 1);
  EXPECT_EQ(sim::kernel_sends()[0].bytes[21], 'n');
  EXPECT_EQ(sim::open_kernel_sockets(), 1);
}

TEST_F(TunnelTest, IncomingFrames) {
  ASSERT_EQ(Entry(1), 0);
  Bytes reply = udp("198.51.100.1", 7000, "10.0.0.2", 40000, Bytes(40, 0xcd));
  Bytes spoiled = reply;
  spoiled[10] ^= 0xff;  // wrong header checksum: the filter fixes checksums
  Bytes bad_version = reply;
  bad_version[0] = 0x65;
  Bytes cut_l4 = ipv4(addr("198.51.100.1"), addr("10.0.0.2"), 6, Bytes(10));
  Bytes longer = reply;
  longer.insert(longer.end(), {1, 2, 3});
  Bytes short_len = frame401(reply);
  uint32_t one_less = static_cast<uint32_t>(short_len.size() - 1);
  std::memcpy(short_len.data(), &one_less, 4);
  Bytes good = frame401(reply);
  Bytes wrong_type = frame401(reply);
  wrong_type[4] = 0x90;
  struct Case {
    const char* what;
    Bytes datagram;
    bool injected;
  } cases[] = {
      {"good", frame401(reply), true},
      {"checksum fixed", frame401(spoiled), true},
      {"trailing bytes trimmed", frame401(longer), true},
      {"36 bytes", Bytes(good.begin(), good.begin() + 36), false},
      {"length one less", short_len, false},
      {"type 400", wrong_type, false},
      {"not IPv4", frame401(bad_version), false},
      {"TCP header cut", frame401(cut_l4), false},
  };
  for (auto& c : cases) {
    sim::clear_injected();
    sim::deliver_datagram(sin(kEntrance, 4000), c.datagram);
    auto inj = sim::injected();
    ASSERT_EQ(inj.size(), c.injected ? 1u : 0u) << c.what;
    if (c.injected) {
      EXPECT_EQ(inj[0].size(), reply.size()) << c.what;
      EXPECT_TRUE(checksums_valid(inj[0])) << c.what;
    }
  }
  // The admitted flow's replies are reported inwards.
  auto r = Records(K2U_IPPACKET);
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back()[168], K2U_DIR_IN);
  // Datagrams from elsewhere never reach the filter's socket.
  sim::clear_injected();
  sim::deliver_datagram(sin("203.0.113.99", 4000), frame401(reply));
  EXPECT_TRUE(sim::injected().empty());
}

TEST_F(TunnelTest, MssReduction) {
  Switch({KCTL_ENABLE_REDUCE_TCP_MSS, KCTL_ENABLE_INTERCEPT_TCP});
  ASSERT_EQ(Entry(1), 0);
  auto* t = sim::socket_create("tslgame", SOCK_STREAM, IPPROTO_TCP);
  sim::socket_bind(t, 40002);
  sim::socket_connect(t, sin("198.51.100.1", 443));
  auto mss_of = [](const Bytes& p) -> int {
    for (size_t i = 40; i + 3 < p.size(); ++i)
      if (p[i] == 2 && p[i + 1] == 4) return p[i + 2] << 8 | p[i + 3];
    return -1;
  };
  auto send_syn = [&](const Bytes& options) {
    sim::clear_kernel_sends();
    sim::ip_output(tcp("10.0.0.2", 40002, "198.51.100.1", 443, kSyn, options));
    auto s = sim::kernel_sends();
    EXPECT_EQ(s.size(), 1u);
    Bytes inner(s[0].bytes.begin() + 41, s[0].bytes.end());
    EXPECT_TRUE(checksums_valid(inner));
    return inner;
  };
  EXPECT_EQ(mss_of(send_syn(mss_option(1460))), 1332);
  EXPECT_EQ(tamsel_stats().tcp_mss_local_min, 1332);
  EXPECT_EQ(mss_of(send_syn(mss_option(1400))), 1272);
  EXPECT_EQ(tamsel_stats().tcp_mss_local_min, 1272);
  EXPECT_EQ(TextRecords().back(), "set TCP MSS Local Min 1272");
  EXPECT_EQ(mss_of(send_syn(mss_option(128))), 128);
  EXPECT_EQ(mss_of(send_syn(mss_option(100))), 100);
  Bytes nops = {1, 1, 1};
  nops.insert(nops.end(), {2, 4, 0x05, 0x78});  // 1400 after NOPs
  EXPECT_EQ(mss_of(send_syn(nops)), 1272);
  Bytes after_ws = {3, 3, 7};  // window scale first, then MSS 1400
  after_ws.insert(after_ws.end(), {2, 4, 0x05, 0x78});
  Bytes out = send_syn(after_ws);
  EXPECT_EQ(out[40 + 5] << 8 | out[40 + 6], 1272);
  Bytes broken = {3, 9, 7, 2, 4, 0x05, 0x78};  // an option length past the options
  out = send_syn(broken);
  EXPECT_EQ(out[40 + 5] << 8 | out[40 + 6], 1400);

  // A SYN with ACK coming in is cut to the floor.
  Bytes synack = tcp("198.51.100.1", 443, "10.0.0.2", 40002, kSyn | kAck, mss_option(1400));
  sim::clear_injected();
  sim::deliver_datagram(sin(kEntrance, 4000), frame401(synack));
  ASSERT_EQ(sim::injected().size(), 1u);
  EXPECT_EQ(mss_of(sim::injected()[0]), 1272);
  EXPECT_TRUE(checksums_valid(sim::injected()[0]));
  sim::socket_close(t);
}

TEST_F(TunnelTest, ResetDuringTrafficIsClean) {
  ASSERT_EQ(Entry(1), 0);
  sim::set_threads_mode(true);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop) {
      sim::ip_output(GamePacket());
      sim::deliver_datagram(sin(kEntrance, 4000),
                            frame401(udp("198.51.100.1", 7000, "10.0.0.2", 40000, Bytes(8))));
    }
  });
  for (int i = 0; i < 50; ++i) {
    sim::ctl_disconnect(unit_);
    unit_ = 0;
    Attach();
    ASSERT_EQ(AddWhite("tslgame|*|*|*", 1, 2), 0);
    Switch({KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT});
    ASSERT_EQ(Entry(1), 0);
  }
  stop = true;
  sender.join();
  sim::set_threads_mode(false);
}

}  // namespace
}  // namespace tamsel::testing
