// Texts the Linux back end reads and writes: iptables chains, /proc/net socket tables.
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "Backend.h"
#include "Owners.h"
#include "QueueLoop.h"

namespace platform::kern::linux_backend {
namespace {

TEST(Chains, InstallTextQueuesEveryFlowKindWithBypass) {
  std::string t = chains_install_text();
  for (const char* want :
       {"-I INPUT 1 -j TAMSEL_ACCEPT\n", "-A TAMSEL_ACCEPT -i tamsel0 -j ACCEPT\n",
        "-A TAMSEL_OUT -m mark --mark 0x35500000/0xffff0000 -j RETURN\n",
        "-A TAMSEL_OUT -m mark --mark 0x00800000/0x00800000 -j CONNMARK --set-xmark "
        "0x00800000/0x00800000\n",
        "-A TAMSEL_OUT -m mark --mark 0x00800000/0x00800000 -j MARK --set-xmark 0x0/0x00800000\n",
        "-A TAMSEL_OUT -m connmark --mark 0x00800000/0x00800000 -j RETURN\n",
        "-A TAMSEL_OUT -p udp -m udp --dport 53 -j NFQUEUE --queue-bypass --queue-num 3550\n",
        "-A TAMSEL_OUT -p icmp -m icmp --icmp-type 8 -j NFQUEUE --queue-bypass --queue-num 3550\n",
        "-A TAMSEL_IN -i tamsel0 -j CT --notrack\n",
        "-A TAMSEL_IN -p udp -m udp --sport 53 -j NFQUEUE --queue-bypass --queue-num 3551\n"})
    EXPECT_NE(t.find(want), std::string::npos) << want;
  // Queries are queued before private destinations return: a resolver on the LAN is still seen.
  EXPECT_LT(t.find("--dport 53"), t.find("-d 10.0.0.0/8"));
  EXPECT_LT(t.find("-d 127.0.0.0/8"), t.find("--dport 53"));
  // A left-out flow's mark moves to its connection before anything else; its later packets
  // pass, except queries, which are queued whoever sends them.
  EXPECT_LT(t.find("CONNMARK"), t.find("--mark 0x35500000"));
  EXPECT_LT(t.find("--dport 53"), t.find("-m connmark"));
  EXPECT_LT(t.find("-m connmark"), t.find("-p tcp -j NFQUEUE"));
  // Nothing reaches the queues until the master switch adds the jumps.
  EXPECT_EQ(t.find("-j TAMSEL_OUT"), std::string::npos);
  EXPECT_EQ(t.find("-j TAMSEL_IN"), std::string::npos);
  EXPECT_EQ(
      chains_jumps_text(),
      "*mangle\n-I OUTPUT 1 -j TAMSEL_OUT\nCOMMIT\n*raw\n-I PREROUTING 1 -j TAMSEL_IN\nCOMMIT\n");
}

TEST(Chains, RemovalFollowsWhatIsLoaded) {
  struct Case {
    const char* what;
    std::string saved;
    std::string removal;
  };
  const std::string mangle_ours =
      "*mangle\n:PREROUTING ACCEPT [0:0]\n:OUTPUT ACCEPT [1:2]\n:TAMSEL_OUT - [0:0]\n"
      "-A OUTPUT -j TAMSEL_OUT\n-A TAMSEL_OUT -d 127.0.0.0/8 -j RETURN\nCOMMIT\n";
  const std::string raw_ours =
      "*raw\n:PREROUTING ACCEPT [0:0]\n:TAMSEL_IN - [0:0]\n-A PREROUTING -j TAMSEL_IN\n"
      "-A TAMSEL_IN -i tamsel0 -j CT --notrack\nCOMMIT\n";
  const Case cases[] = {
      {"nothing loaded", "", ""},
      {"other tables only", "*filter\n:INPUT ACCEPT [0:0]\n-A INPUT -j ACCEPT\nCOMMIT\n", ""},
      {"both chains", mangle_ours + raw_ours,
       "*mangle\n-D OUTPUT -j TAMSEL_OUT\n-F TAMSEL_OUT\n-X TAMSEL_OUT\nCOMMIT\n"
       "*raw\n-D PREROUTING -j TAMSEL_IN\n-F TAMSEL_IN\n-X TAMSEL_IN\nCOMMIT\n"},
      {"two jumps left by a crash",
       "*mangle\n:TAMSEL_OUT - [0:0]\n-A OUTPUT -j TAMSEL_OUT\n-A OUTPUT -j TAMSEL_OUT\nCOMMIT\n",
       "*mangle\n-D OUTPUT -j TAMSEL_OUT\n-D OUTPUT -j TAMSEL_OUT\n-F TAMSEL_OUT\n-X TAMSEL_OUT\n"
       "COMMIT\n"},
      {"chain without jump", "*raw\n:TAMSEL_IN - [0:0]\nCOMMIT\n",
       "*raw\n-F TAMSEL_IN\n-X TAMSEL_IN\nCOMMIT\n"},
      {"names in the wrong table or only alike",
       "*filter\n:TAMSEL_OUT - [0:0]\n-A OUTPUT -j TAMSEL_OUT\nCOMMIT\n"
       "*mangle\n:TAMSEL_OUTX - [0:0]\n-A OUTPUT -j TAMSEL_OUTX\n-A OUTPUT -p udp -j TAMSEL_OUT\n"
       "COMMIT\n",
       ""},
      {"accepting chain",
       "*filter\n:INPUT DROP [0:0]\n:TAMSEL_ACCEPT - [0:0]\n-A INPUT -j TAMSEL_ACCEPT\n"
       "-A TAMSEL_ACCEPT -i tamsel0 -j ACCEPT\nCOMMIT\n",
       "*filter\n-D INPUT -j TAMSEL_ACCEPT\n-F TAMSEL_ACCEPT\n-X TAMSEL_ACCEPT\nCOMMIT\n"},
      {"carriage returns", "*raw\r\n:TAMSEL_IN - [0:0]\r\n-A PREROUTING -j TAMSEL_IN\r\nCOMMIT\r\n",
       "*raw\n-D PREROUTING -j TAMSEL_IN\n-F TAMSEL_IN\n-X TAMSEL_IN\nCOMMIT\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(chains_removal_text(c.saved), c.removal) << c.what;
}

TEST(ProcNet, InodeOfTheEntryOnAPort) {
  const std::string header =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
      "inode ref pointer drops\n";
  const std::string ping =
      "  12: 0100007F:1F90 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 "
      "48213 2 0000000000000000 0\n";
  struct Case {
    const char* what;
    std::string table;
    uint16_t port;
    uint64_t inode;
  };
  const Case cases[] = {
      {"found", header + ping, 0x1f90, 48213},
      {"other port", header + ping, 0x1f91, 0},
      {"header only", header, 0, 0},
      {"empty", "", 0x1f90, 0},
      {"header line never an entry", ping, 0x1f90, 0},
      {"second entry",
       header + "  1: 00000000:0007 00000000:0000 07 0:0 0:0 0 0 0 77 2 0 0\n" + ping, 7, 77},
      {"cut line", header + "  12: 0100007F:1F90 00000000:0000 07\n", 0x1f90, 0},
      {"port out of range", header + "  1: 00000000:11111 0:0 07 0:0 0:0 0 0 0 5 2 0 0\n", 0x1111,
       0},
      {"no colon", header + "  1: 000000000007 0:0 07 0:0 0:0 0 0 0 5 2 0 0\n", 7, 0},
      {"inode not a number", header + "  1: 00000000:0007 0:0 07 0:0 0:0 0 0 0 5x 2 0 0\n", 7, 0},
      {"port not hex", header + "  1: 00000000:00G7 0:0 07 0:0 0:0 0 0 0 5 2 0 0\n", 7, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(proc_net_inode_for_port(c.table, c.port), c.inode) << c.what;
}

// A sock_diag answer: the message head, then attributes (type, declared length, payload bytes).
struct Attr {
  uint16_t type;
  uint16_t declared;  // 0: the true length
  std::string payload;
};
std::string diag_answer(const std::vector<Attr>& attrs) {
  std::string b(NLMSG_ALIGN(sizeof(inet_diag_msg)), '\0');
  for (const auto& a : attrs) {
    rtattr h{};
    h.rta_type = a.type;
    h.rta_len = a.declared ? a.declared : static_cast<uint16_t>(RTA_LENGTH(a.payload.size()));
    b.append(reinterpret_cast<const char*>(&h), sizeof h);
    b += a.payload;
    b.append(RTA_ALIGN(b.size()) - b.size(), '\0');
  }
  return b;
}
std::string tcp_info_bytes(uint32_t rtt_us, size_t keep = sizeof(tcp_info)) {
  tcp_info i{};
  i.tcpi_rtt = rtt_us;
  return std::string(reinterpret_cast<const char*>(&i), keep);
}

TEST(TcpInfoAnswer, FindsTheRoundTripTimeOrRejects) {
  const size_t rtt_end = offsetof(tcp_info, tcpi_rtt) + 4;
  struct Case {
    const char* what;
    std::string answer;
    bool ok;
    uint32_t srtt_us;
  };
  const Case cases[] = {
      {"info alone", diag_answer({{INET_DIAG_INFO, 0, tcp_info_bytes(1234)}}), true, 1234},
      {"after other attributes",
       diag_answer({{INET_DIAG_SHUTDOWN, 0, "\x01"}, {INET_DIAG_INFO, 0, tcp_info_bytes(77)}}),
       true, 77},
      {"an older kernel's shorter info",
       diag_answer({{INET_DIAG_INFO, 0, tcp_info_bytes(5, rtt_end)}}), true, 5},
      {"info cut before the time",
       diag_answer({{INET_DIAG_INFO, 0, tcp_info_bytes(5, rtt_end - 1)}}), false, 0},
      {"no info attribute", diag_answer({{INET_DIAG_SHUTDOWN, 0, "\x01"}}), false, 0},
      {"head only", diag_answer({}), false, 0},
      {"shorter than the head", std::string(sizeof(inet_diag_msg) - 1, '\0'), false, 0},
      {"attribute longer than the answer",
       diag_answer({{INET_DIAG_INFO, 0xfff0, tcp_info_bytes(9)}}), false, 0},
      {"attribute length below its header", diag_answer({{INET_DIAG_INFO, 2, ""}}), false, 0},
  };
  for (const auto& c : cases) {
    TcpTimes t;
    // An exact-size copy, so a read past the answer shows under the sanitizers.
    std::vector<char> bytes(c.answer.begin(), c.answer.end());
    EXPECT_EQ(tcp_info_from_answer(bytes.data(), bytes.size(), &t), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(t.srtt_us, c.srtt_us) << c.what;
    }
  }
}

TEST(ProcNet, EveryInodeOnAPort) {
  const std::string header = "  sl  local_address rem_address st ...\n";
  const std::string raw =
      header + "   1: 00000000:0001 00000000:0000 07 0:0 0:0 0 0 0 11 2 0 0\n" +
      "   2: 0100007F:0011 00000000:0000 07 0:0 0:0 0 0 0 12 2 0 0\n" +
      "   3: 0100007F:0001 00000000:0000 07 0:0 0:0 0 0 0 13 2 0 0\n" +
      "   4: 0100007F:0001 00000000:0000 07 0:0 0:0 0 0 0 0 2 0 0\n" +  // no inode: not a socket
      "   5: 0100007F:0001 00000000:0000 07 0:0 0:0 0 0 0 99999999999999999999 2 0 0\n";
  EXPECT_EQ(proc_net_inodes_for_port(raw, IPPROTO_ICMP), (std::vector<uint64_t>{11, 13}));
  EXPECT_EQ(proc_net_inodes(raw), (std::vector<uint64_t>{11, 12, 13}));
  EXPECT_TRUE(proc_net_inodes(header).empty());
}

TEST(ProcNet, UsersOfEntries) {
  const std::string table =
      std::string("  sl  local_address rem_address st ...\n") +
      "   1: 00000000:0001 00000000:0000 07 0:0 0:0 0 1234 0 11 2 0 0\n" +
      "   2: 0100007F:0001 00000000:0000 07 0:0 0:0 0 0 0 12 2 0 0\n" +
      "   3: 0100007F:0001 00000000:0000 07 0:0 0:0 0 4294967296 0 13 2 0 0\n" +  // no such uid
      "   4: 0100007F:0002 00000000:0000 07 0:0 0:0 0 -1 0 14 2 0 0\n";
  std::vector<uid_t> uids;
  EXPECT_EQ(proc_net_inodes_for_port(table, 1, &uids), (std::vector<uint64_t>{11, 12}));
  EXPECT_EQ(uids, (std::vector<uid_t>{1234, 0}));
  uid_t uid = 99;
  EXPECT_EQ(proc_net_inode_for_port(table, 1, &uid), 11u);
  EXPECT_EQ(uid, 1234u);
  EXPECT_EQ(proc_net_inode_for_port(table, 2, &uid), 0u);
}

TEST(ProcStatus, RealAndEffectiveUsers) {
  struct Case {
    const char* what;
    const char* status;
    bool ok;
    uid_t real, effective;
  };
  const Case cases[] = {
      {"usual", "Name:\tx\nUid:\t1000\t1001\t1000\t1000\nGid:\t5\n", true, 1000, 1001},
      {"root", "Name:\tx\nUid:\t0\t0\t0\t0\n", true, 0, 0},
      {"no line", "Name:\tx\nGid:\t1\t1\n", false, 0, 0},
      {"one field", "Name:\tx\nUid:\t7\n", false, 0, 0},
      {"out of range", "Name:\tx\nUid:\t99999999999\t1\n", false, 0, 0},
      {"empty", "", false, 0, 0},
  };
  for (const auto& c : cases) {
    uid_t r = 42, e = 42;
    EXPECT_EQ(status_uids(c.status, &r, &e), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(r, c.real) << c.what;
      EXPECT_EQ(e, c.effective) << c.what;
    }
  }
}

// A literal's bytes, inner NULs included.
template <size_t N>
std::string with_nuls(const char (&text)[N]) {
  return std::string(text, N - 1);
}

TEST(ProcCmdline, Argv0BaseName) {
  struct Case {
    const char* what;
    std::string cmdline;
    std::string name;
  };
  const Case cases[] = {
      {"plain", with_nuls("/opt/game/bin/tslgame\0--udp\0"), "tslgame"},
      {"no folder", with_nuls("tslgame\0"), "tslgame"},
      {"backslashes", with_nuls("C:\\Games\\Big\\game.exe\0-x\0"), "game.exe"},
      {"mixed", with_nuls("Z:/x\\y/run.exe"), "run.exe"},
      {"no NUL at the end", "/usr/bin/abc", "abc"},
      {"ends in a separator", with_nuls("/usr/bin/\0"), ""},
      {"empty argv[0]", with_nuls("\0rest\0"), ""},
      {"long", "/x/" + std::string(40, 'n'), std::string(31, 'n')},
      {"nothing", "", ""},
  };
  for (const auto& c : cases) {
    std::vector<char> bytes(c.cmdline.begin(), c.cmdline.end());  // exact size
    EXPECT_EQ(argv0_name(bytes.data(), bytes.size()), c.name) << c.what;
  }
}

// Packets waiting for their flow's owner: released per flow in their order, bounded per flow and
// in all.
TEST(PendingSet, ReleasesInOrderWithinBounds) {
  PendingSet set;
  const FlowKey a{17, 1, 1000, 2, 53}, b{6, 1, 1001, 2, 80};
  EXPECT_EQ(set.add(a, {1, 0, {1}}), PendingSet::Added::kFirst);
  EXPECT_EQ(set.add(b, {2, 0, {2}}), PendingSet::Added::kFirst);
  EXPECT_EQ(set.add(a, {3, 7, {3, 3}}), PendingSet::Added::kBehind);
  EXPECT_TRUE(set.holds(a));
  EXPECT_EQ(set.size(), 3u);
  auto got = set.release(a);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, 1u);
  EXPECT_EQ(got[1].id, 3u);
  EXPECT_EQ(got[1].mark, 7u);
  EXPECT_EQ(got[1].bytes, (std::vector<uint8_t>{3, 3}));
  EXPECT_FALSE(set.holds(a));
  EXPECT_TRUE(set.release(a).empty());
  EXPECT_EQ(set.size(), 1u);

  // One flow holds at most kPerFlow; the set at most kTotal.
  for (uint32_t i = 1; i < PendingSet::kPerFlow; ++i)
    ASSERT_EQ(set.add(b, {100 + i, 0, {}}), PendingSet::Added::kBehind) << i;
  EXPECT_EQ(set.add(b, {999, 0, {}}), PendingSet::Added::kFull);
  uint16_t port = 2000;
  while (set.size() < PendingSet::kTotal) {
    FlowKey k{17, 1, port++, 2, 53};
    for (size_t i = 0; i < PendingSet::kPerFlow && set.size() < PendingSet::kTotal; ++i)
      ASSERT_NE(set.add(k, {0, 0, {}}), PendingSet::Added::kFull);
  }
  EXPECT_EQ(set.add(FlowKey{17, 9, 9, 9, 9}, {0, 0, {}}), PendingSet::Added::kFull);
  auto first = set.release(b);
  ASSERT_EQ(first.size(), PendingSet::kPerFlow);
  for (size_t i = 1; i < first.size(); ++i) EXPECT_EQ(first[i].id, 100 + i);
  EXPECT_EQ(set.release_all().size(), PendingSet::kTotal - PendingSet::kPerFlow);
  EXPECT_EQ(set.size(), 0u);
}

TEST(OwnerScopeNames, ComparedAsTheFilterComparesThem) {
  auto scope = OwnerScope::from_names({"tslgame", "twenty-char-name-abc"});
  EXPECT_FALSE(scope.all);
  EXPECT_TRUE(scope.admits("tslgame"));
  EXPECT_TRUE(scope.admits("TSLGAME"));
  EXPECT_TRUE(scope.admits("twenty-char-name-abc"));
  EXPECT_FALSE(scope.admits("tslgamex"));
  EXPECT_FALSE(scope.admits("tslother"));
  EXPECT_FALSE(OwnerScope::from_names({}).admits("tslgame"));
  EXPECT_TRUE(OwnerScope::from_names({"x", "*"}).admits("anything"));
  EXPECT_TRUE(OwnerScope{}.admits("anything"));  // no list given: every process
}

tcp_info counted_info(uint32_t rtt_us, uint64_t sent, uint64_t retrans, uint64_t received) {
  tcp_info i{};
  i.tcpi_rtt = rtt_us;
  i.tcpi_bytes_sent = sent;
  i.tcpi_bytes_retrans = retrans;
  i.tcpi_bytes_received = received;
  return i;
}
std::string bytes_of(const tcp_info& i, size_t keep = sizeof(tcp_info)) {
  return std::string(reinterpret_cast<const char*>(&i), keep);
}

TEST(DiagAnswer, StateTimesAndCounts) {
  const size_t counts_end = offsetof(tcp_info, tcpi_bytes_retrans) + 8;
  const size_t rtt_end = offsetof(tcp_info, tcpi_rtt) + 4;
  const std::string tcp(1, static_cast<char>(IPPROTO_TCP)), udp(1, static_cast<char>(IPPROTO_UDP));
  struct Case {
    const char* what;
    uint8_t asked;  // the protocol of the request; 0 for an event
    std::string answer;
    bool ok, has_info, has_bytes;
    uint32_t srtt_us;
    uint64_t sent, received;
  };
  const Case cases[] = {
      {"whole info", IPPROTO_TCP,
       diag_answer({{INET_DIAG_INFO, 0, bytes_of(counted_info(900, 1000, 0, 300))}}), true, true,
       true, 900, 1000, 300},
      {"retransmissions counted once", IPPROTO_TCP,
       diag_answer({{INET_DIAG_INFO, 0, bytes_of(counted_info(900, 1200, 200, 0))}}), true, true,
       true, 900, 1000, 0},
      {"more retransmitted than sent", IPPROTO_TCP,
       diag_answer({{INET_DIAG_INFO, 0, bytes_of(counted_info(1, 5, 9, 0))}}), true, true, true, 1,
       0, 0},
      {"info ending with the counts", IPPROTO_TCP,
       diag_answer({{INET_DIAG_INFO, 0, bytes_of(counted_info(7, 3, 0, 4), counts_end)}}), true,
       true, true, 7, 3, 4},
      {"info cut inside the counts", IPPROTO_TCP,
       diag_answer({{INET_DIAG_INFO, 0, bytes_of(counted_info(7, 3, 0, 4), counts_end - 1)}}), true,
       true, false, 7, 0, 0},
      {"info cut before the time", IPPROTO_TCP,
       diag_answer({{INET_DIAG_INFO, 0, bytes_of(counted_info(7, 3, 0, 4), rtt_end - 1)}}), true,
       false, false, 0, 0, 0},
      {"event naming TCP", 0,
       diag_answer(
           {{INET_DIAG_PROTOCOL, 0, tcp}, {INET_DIAG_INFO, 0, bytes_of(counted_info(5, 1, 0, 2))}}),
       true, true, true, 5, 1, 2},
      {"event naming UDP: no TCP fields", 0,
       diag_answer(
           {{INET_DIAG_PROTOCOL, 0, udp}, {INET_DIAG_INFO, 0, bytes_of(counted_info(5, 1, 0, 2))}}),
       true, false, false, 0, 0, 0},
      {"empty protocol attribute", 0, diag_answer({{INET_DIAG_PROTOCOL, 4, ""}}), true, false,
       false, 0, 0, 0},
      {"attribute past the end", IPPROTO_TCP, diag_answer({{INET_DIAG_INFO, 0x7ff0, "x"}}), false,
       false, false, 0, 0, 0},
      {"head only", IPPROTO_UDP, diag_answer({}), true, false, false, 0, 0, 0},
      {"shorter than the head", IPPROTO_TCP, std::string(sizeof(inet_diag_msg) - 1, '\0'), false,
       false, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    std::vector<char> bytes(c.answer.begin(), c.answer.end());
    DiagSocket d;
    ASSERT_EQ(parse_diag_answer(bytes.data(), bytes.size(), c.asked, &d), c.ok) << c.what;
    if (!c.ok) continue;
    EXPECT_EQ(d.has_info, c.has_info) << c.what;
    EXPECT_EQ(d.has_bytes, c.has_bytes) << c.what;
    EXPECT_EQ(d.srtt_us, c.srtt_us) << c.what;
    EXPECT_EQ(d.bytes_sent, c.sent) << c.what;
    EXPECT_EQ(d.bytes_received, c.received) << c.what;
  }
}

// A netlink datagram: messages of (type, declared length or 0, body).
std::string datagram(const std::vector<std::tuple<uint16_t, uint32_t, std::string>>& msgs) {
  std::string out;
  for (const auto& [type, declared, body] : msgs) {
    nlmsghdr h{};
    h.nlmsg_type = type;
    h.nlmsg_len = declared ? declared : static_cast<uint32_t>(NLMSG_LENGTH(body.size()));
    out.append(reinterpret_cast<const char*>(&h), sizeof h);
    out += body;
    out.append(NLMSG_ALIGN(out.size()) - out.size(), '\0');
  }
  return out;
}
std::string socket_answer(uint32_t cookie, uint16_t local_port, uint32_t inode) {
  inet_diag_msg m{};
  m.idiag_family = AF_INET;
  m.idiag_state = 1;
  m.idiag_inode = inode;
  m.id.idiag_cookie[0] = cookie;
  m.id.idiag_sport = htons(local_port);
  m.id.idiag_dport = htons(443);
  m.id.idiag_dst[0] = htonl(0xc6336401);
  return std::string(reinterpret_cast<const char*>(&m), sizeof m);
}

TEST(DiagDatagram, MessagesInOrderUntilTheEnd) {
  struct Case {
    const char* what;
    std::string bytes;
    bool more;
    std::vector<uint64_t> cookies;
  };
  const std::string a = socket_answer(1, 1001, 11), b = socket_answer(2, 1002, 12);
  const Case cases[] = {
      {"two sockets",
       datagram({{SOCK_DIAG_BY_FAMILY, 0, a}, {SOCK_DIAG_BY_FAMILY, 0, b}}),
       true,
       {1, 2}},
      {"then done",
       datagram({{SOCK_DIAG_BY_FAMILY, 0, a}, {NLMSG_DONE, 0, "\0\0\0\0"}}),
       false,
       {1}},
      {"other message types skipped",
       datagram({{NLMSG_NOOP, 0, "xxxx"}, {SOCK_DIAG_BY_FAMILY, 0, b}}),
       true,
       {2}},
      {"answer shorter than a socket",
       datagram({{SOCK_DIAG_BY_FAMILY, 0, a.substr(0, 20)}}),
       true,
       {}},
      {"length past the datagram",
       datagram({{SOCK_DIAG_BY_FAMILY, 0, a}}).substr(0, 40),
       false,
       {}},
      {"length below the header", datagram({{SOCK_DIAG_BY_FAMILY, 8, ""}}), false, {}},
      {"a piece of a header", std::string(7, '\x01'), true, {}},
      {"empty", "", true, {}},
  };
  for (const auto& c : cases) {
    std::vector<char> bytes(c.bytes.begin(), c.bytes.end());
    std::vector<uint64_t> cookies;
    bool more = parse_diag_datagram(bytes.data(), bytes.size(), IPPROTO_TCP,
                                    [&](const DiagSocket& d) { cookies.push_back(d.cookie); });
    EXPECT_EQ(more, c.more) << c.what;
    EXPECT_EQ(cookies, c.cookies) << c.what;
  }
  // What one answer says of its socket.
  std::vector<char> one(a.begin(), a.end());
  DiagSocket d;
  ASSERT_TRUE(parse_diag_answer(one.data(), one.size(), IPPROTO_TCP, &d));
  EXPECT_EQ(d.key.local_port, 1001);
  EXPECT_EQ(d.key.remote_port, 443);
  EXPECT_EQ(d.key.remote_addr, htonl(0xc6336401));
  EXPECT_EQ(d.inode, 11u);
  EXPECT_EQ(d.state, 1);
}

}  // namespace
}  // namespace platform::kern::linux_backend
