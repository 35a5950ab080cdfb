// The filter's type-400 frames and the tunnel engine's encoder must agree byte for byte: the relay
// decodes both with one parser.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "packets.h"
#include "sim_fixture.h"

namespace tamsel::testing {
namespace {

using namespace abi;

class FrameCrossCheck : public SimFilter {
 protected:
  void SetUp() override {
    SimFilter::SetUp();
    Attach();
    ASSERT_EQ(AddWhite("tslgame|*|*|*", 3, 7), 0);
    Switch({KCTL_ENABLE_INTERCEPT_UDP, KCTL_ENABLE_INTERCEPT});
    sock_ = sim::socket_create("tslgame", SOCK_DGRAM, IPPROTO_UDP);
    sim::socket_bind(sock_, 40000);
    auto to = sin("198.51.100.1", 7000);
    sim::socket_send(sock_, &to, Bytes(4));
  }
  void TearDown() override {
    if (sock_) sim::socket_close(sock_);
    SimFilter::TearDown();
  }
  sim::Socket* sock_ = nullptr;
};

TEST_F(FrameCrossCheck, FilterFrameEqualsEngineFrame) {
  struct Case {
    const char* what;
    uint16_t exit_a, exit_b;
    uint16_t tx, rx;
    int32_t vni;
    std::string nat;
    size_t payload;
  };
  const Case cases[] = {
      {"plain", 2, 1, 0x64, 0x32, 0x01020304, "nat.example", 32},
      {"largest fields", 65535, 65535, 0xffff, 0xfffe, -1, "MTkyLjAuMi4xMjM0NTY3", 1},
      {"nat cut at twenty bytes", 0, 9, 0, 1, 0, "QUJDREVGR0hJSktMTU5PUFFS", 0},
      {"short nat", 300, 4, 1, 0, 77, "a", 1200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(SetOpt(KCTL_SET_VNI_BASE, &c.vni, 4), 0);
    vni_off_entry e{};
    e.offset = 3;
    std::strcpy(e.entrance_ip, "203.0.113.10");
    e.port = 4000;
    e.exit = (static_cast<uint32_t>(c.exit_a) << 16) | c.exit_b;
    std::strncpy(e.exit_nat, c.nat.c_str(), sizeof e.exit_nat - 1);
    // The engine's header keeps rx in the low half of this word, tx in the high one.
    e.stream_limit = (static_cast<uint32_t>(c.tx) << 16) | c.rx;
    ASSERT_EQ(SetOpt(KCTL_SET_VNI_OFF_ENTRY, &e, sizeof e), 0);

    Bytes pkt = udp("10.0.0.2", 40000, "198.51.100.1", 7000, Bytes(c.payload, 0x5a));
    sim::clear_kernel_sends();
    ASSERT_EQ(sim::ip_output(pkt).verdict, sim::Verdict::kConsumed);
    auto sends = sim::kernel_sends();
    ASSERT_EQ(sends.size(), 1u);

    std::string exit_text = std::to_string(c.exit_a) + "-" + std::to_string(c.exit_b);
    auto engine = Q5Protocol::IPPacketWithExit(exit_text, c.tx, c.rx, static_cast<uint32_t>(c.vni),
                                               7, e.exit_nat, pkt);
    ASSERT_TRUE(engine.has_value());
    EXPECT_EQ(sends[0].bytes, *engine);
    // And the engine's reader sees the filter's frame as one of its own.
    EXPECT_EQ(Q5Protocol::lookupTypeWithPacket(sends[0].bytes), Q5Protocol::kIPPacket);
    auto body = Q5Protocol::unwrapDataWithPacket(sends[0].bytes);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(body->size(), Q5Protocol::kIPPacketHeaderSize + pkt.size());
  }
}

}  // namespace
}  // namespace tamsel::testing
