// Network settings by rtnetlink on a real TUN in a private network namespace; and the control
// socket's peer and size rules.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/netext/ControlSocket.h"
#include "platform/netext/DnsConfigurator.h"
#include "platform/netext/NetworkSettings.h"
#include "platform/netext/PacketFlow.h"
#include "systest/Systest.h"

using namespace platform::netext;

namespace {

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(RtnetlinkSettings, AppliedAndRemovedOnARealTun) {
  if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
  systest::Netns ns(systest::uniqueName("gvset"));
  ASSERT_TRUE(ns.valid());
  // The TUN, the netlink sockets and the sysctl read below belong to this thread's namespace.
  systest::Netns::Enter in(ns);
  ASSERT_TRUE(in.entered());
  PacketFlow flow;
  ASSERT_EQ(flow.open(), 0);
  EXPECT_EQ(flow.name().rfind("gvtun", 0), 0u);
  RtnetlinkSettingsApplier applier(flow.name(), 0x47560001, 5160);
  NetworkSettings settings;
  IPv4Settings v4;
  v4.addresses = {"192.0.2.1"};
  v4.subnetMasks = {"255.255.255.0"};
  v4.includedRoutes = {IPv4Route::defaultRoute(), {"203.0.113.0", "255.255.255.0"}};
  v4.excludedRoutes = {{"10.0.0.0", "255.0.0.0"},
                       {"198.51.100.7", "255.255.255.255"},
                       {"bad", "255.0.0.0"},
                       {"1.2.3.4", "255.0.255.0"}};
  settings.ipv4Settings = v4;
  settings.mtu = 1400;
  auto error = applier.apply(&settings);
  ASSERT_FALSE(error) << error->description;

  auto link = ns.sh("ip -o link show " + flow.name()).output;
  EXPECT_NE(link.find("mtu 1400"), std::string::npos) << link;
  EXPECT_NE(link.find("UP"), std::string::npos) << link;
  EXPECT_NE(ns.sh("ip -o addr show " + flow.name()).output.find("192.0.2.1/24"), std::string::npos);
  auto table = ns.sh("ip route show table 5160").output;
  EXPECT_NE(table.find("default dev " + flow.name()), std::string::npos) << table;
  EXPECT_NE(table.find("203.0.113.0/24 dev " + flow.name()), std::string::npos) << table;
  EXPECT_NE(table.find("throw 10.0.0.0/8"), std::string::npos) << table;
  EXPECT_NE(table.find("throw 198.51.100.7"), std::string::npos) << table;
  EXPECT_EQ(table.find("1.2.3.4"), std::string::npos) << "a non-contiguous mask is skipped";
  auto rules = ns.sh("ip rule show").output;
  EXPECT_NE(rules.find("not from all fwmark 0x47560001 lookup 5160"), std::string::npos) << rules;
  std::ifstream rp("/proc/sys/net/ipv4/conf/" + flow.name() + "/rp_filter");
  int rpValue = -1;
  rp >> rpValue;
  EXPECT_EQ(rpValue, 2);

  // Applying again replaces rather than fails.
  ASSERT_FALSE(applier.apply(&settings));
  ASSERT_FALSE(applier.apply(nullptr));
  EXPECT_EQ(ns.sh("ip rule show").output.find("5160"), std::string::npos);
  // An emptied table is gone: only the error on stderr says so.
  EXPECT_EQ(ns.sh("ip route show table 5160 2>/dev/null").output, "");
  flow.close();
}

// DNS to any resolver, even one in an excluded LAN range, goes into the tunnel unless the daemon
// itself sent it; what crashed runs left (rules of every shape, routes of both tables) is removed
// whatever its number, and a fresh add finds its own leftovers instead of piling up copies.
TEST(RtnetlinkSettings, DnsIsCapturedAndLeftoversOfCrashedRunsAreRemoved) {
  if (auto r = systest::skipReason(); !r.empty()) GTEST_SKIP() << r;
  systest::Netns ns(systest::uniqueName("gvdnsr"));
  ASSERT_TRUE(ns.valid());
  systest::Netns::Enter in(ns);
  ASSERT_TRUE(in.entered());
  // A LAN with its own resolver at 192.168.1.53.
  ASSERT_TRUE(ns.sh("ip link add lan0 type veth peer name lan1 && ip link set lan1 up && "
                    "ip addr add 192.168.1.2/16 dev lan0 && "
                    "ip link set lan0 up")
                  .ok());
  PacketFlow flow;
  ASSERT_EQ(flow.open(), 0);
  const uint32_t mark = 0x47560001, table = 5160;
  NetworkSettings settings;
  IPv4Settings v4;
  v4.addresses = {"192.0.2.1"};
  v4.subnetMasks = {"255.255.255.0"};
  v4.includedRoutes = {IPv4Route::defaultRoute()};
  v4.excludedRoutes = {{"192.168.0.0", "255.255.0.0"}};
  settings.ipv4Settings = v4;
  settings.dnsSettings = DNSSettings{{"198.18.0.1"}, {""}};
  auto routeOf = [&](const std::string& what) { return ns.sh("ip -o route get " + what).output; };
  {
    RtnetlinkSettingsApplier applier(flow.name(), mark, table);
    auto error = applier.apply(&settings);
    ASSERT_FALSE(error) << error->description;
    EXPECT_NE(routeOf("192.168.1.53 ipproto udp dport 53").find("dev " + flow.name()),
              std::string::npos);
    EXPECT_NE(routeOf("192.168.1.53 ipproto udp dport 53 mark 0x47560001").find("dev lan0"),
              std::string::npos)
        << "the daemon's own queries leave directly";
    EXPECT_NE(routeOf("192.168.1.53 ipproto udp dport 80").find("dev lan0"), std::string::npos)
        << "only DNS is captured";
    EXPECT_NE(routeOf("203.0.113.9 ipproto tcp dport 443").find("dev " + flow.name()),
              std::string::npos);
    // A crash: the applier goes without clearing. The next run adds over its leftovers.
  }
  // An older build added its rule at whatever priority was free, once per crash.
  ASSERT_TRUE(ns.sh("ip rule add not fwmark 0x47560001 lookup 5160 && "
                    "ip rule add not fwmark 0x47560001 lookup 5160")
                  .ok());
  {
    RtnetlinkSettingsApplier applier(flow.name(), mark, table);
    ASSERT_FALSE(applier.apply(&settings));
  }
  auto rules = ns.sh("ip rule show").output;
  EXPECT_EQ(occurrences(rules, "lookup 5161"), 1u) << rules;
  EXPECT_EQ(occurrences(rules, "goto"), 1u) << rules;
  EXPECT_EQ(removeTunnelPolicy(mark, table), 0);
  rules = ns.sh("ip rule show").output;
  EXPECT_EQ(rules.find("0x47560001"), std::string::npos) << rules;
  EXPECT_EQ(rules.find("5161"), std::string::npos) << rules;
  EXPECT_EQ(ns.sh("ip route show table 5160 2>/dev/null").output, "");
  EXPECT_EQ(ns.sh("ip route show table 5161 2>/dev/null").output, "");
  EXPECT_EQ(removeTunnelPolicy(mark, table), 0) << "nothing left is not an error";
  flow.close();
}

TEST(ControlSocket, OwnerOnlySocketAndOversizedMessages) {
  systest::TempDir dir("gvctl");
  auto path = (dir.path() / "control").string();
  // Something that is not a socket is never replaced.
  std::ofstream(path) << "data";
  EXPECT_EQ(listenControlSocket(path, ::geteuid()), -EEXIST);
  std::filesystem::remove(path);

  int listener = listenControlSocket(path, ::geteuid());
  ASSERT_GE(listener, 0);
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ControlClient client;
  ASSERT_EQ(client.connect(path), 0);
  int peer = -1;
  for (int i = 0; i < 100 && peer < 0; ++i) peer = acceptControlPeer(listener, ::geteuid());
  ASSERT_GE(peer, 0);

  std::string big(kMaxControlMessageSize + 1, 'x');
  EXPECT_EQ(sendControlMessage(client.fd(), big), -EMSGSIZE);
  // Sent around the codec's own check: the receiver drops it whole and goes on.
  int sndbuf = 4 << 20;
  ::setsockopt(client.fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  ASSERT_EQ(::send(client.fd(), big.data(), big.size(), 0), ssize_t(big.size()));
  ASSERT_EQ(client.send(ControlRequest::status()), 0);
  auto first = receiveControlMessage(peer);
  EXPECT_EQ(first.error, -EMSGSIZE);
  auto second = receiveControlMessage(peer);
  ASSERT_TRUE(second.bytes);
  EXPECT_EQ(*second.bytes, R"({"cmd":"status"})");
  client.close();
  EXPECT_FALSE(receiveControlMessage(peer).bytes);
  ::close(peer);
  ::close(listener);
}

TEST(ControlSocket, RootMakesAMissingRunFolderOnlyBelowAFolderOfItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the run folder is root's";
  // Below /run, as the daemon's default folder is.
  systest::TempDir dir("gvctl-run", "/run");
  ::chmod(dir.path().c_str(), 0755);
  const auto folder = dir.path() / "galvent";
  int listener = listenControlSocket((folder / "control").string(), 65534);
  ASSERT_GE(listener, 0) << std::strerror(-listener);
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ::close(listener);

  // A parent others may write gets nothing made in it.
  ::chmod(dir.path().c_str(), 0777);
  EXPECT_EQ(listenControlSocket((dir.path() / "other" / "control").string(), 65534), -EPERM);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "other"));
  // Only the last step is made.
  ::chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(listenControlSocket((dir.path() / "a" / "b" / "control").string(), 65534), -ENOENT);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a"));
}

TEST(DnsConfigurator, ResolvConfIsReplacedAndRestoredAlsoAfterACrash) {
  systest::TempDir tmp("gvdns");
  const auto& root = tmp.path();
  std::filesystem::create_directories(root / "etc");
  std::ofstream(root / "etc/resolv.conf") << "nameserver 9.9.9.9\n";
  auto read = [&] {
    std::ifstream in(root / "etc/resolv.conf");
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  {
    DnsConfigurator dns(DnsConfigurator::Mode::ResolvConf, "gvtun0", root);
    ASSERT_FALSE(dns.apply({"198.18.0.1"}, {""}));
    ASSERT_FALSE(dns.apply({"198.18.0.1"}, {""}));  // the first backup is kept
    EXPECT_NE(read().find("nameserver 198.18.0.1"), std::string::npos);
    // No restore: as if the process died.
  }
  DnsConfigurator next(DnsConfigurator::Mode::ResolvConf, "gvtun0", root);
  next.restoreStale();
  EXPECT_EQ(read(), "nameserver 9.9.9.9\n");
  ASSERT_FALSE(next.apply({"198.18.0.1"}, {""}));
  next.restore();
  EXPECT_EQ(read(), "nameserver 9.9.9.9\n");
  EXPECT_FALSE(std::filesystem::exists(next.backupPath()));

  // Rewritten by someone else while the tunnel runs (a DHCP renewal): the newer file stays, at
  // a stop and after a crash alike, and the older original never comes back over it.
  for (bool crash : {false, true}) {
    SCOPED_TRACE(crash ? "crash" : "stop");
    DnsConfigurator dns(DnsConfigurator::Mode::ResolvConf, "gvtun0", root);
    ASSERT_FALSE(dns.apply({"198.18.0.1"}, {""}));
    std::ofstream(root / "etc/resolv.conf") << "nameserver 192.168.1.53\n";
    if (crash) {
      DnsConfigurator(DnsConfigurator::Mode::ResolvConf, "gvtun0", root).restoreStale();
    } else {
      dns.restore();
    }
    EXPECT_EQ(read(), "nameserver 192.168.1.53\n");
    EXPECT_FALSE(std::filesystem::exists(dns.backupPath()));
  }
  EXPECT_EQ(DnsConfigurator::modeFromText("resolv.conf"), DnsConfigurator::Mode::ResolvConf);
  EXPECT_FALSE(DnsConfigurator::modeFromText("Resolved"));
}

}  // namespace

// What resolv.conf was before the tunnel is what it is after: a link stays a link (to the
// resolver's own file, which keeps changing), and a missing file is missing again.
TEST(DnsConfigurator, ResolvConfLinkOrAbsenceComesBack) {
  namespace fs = std::filesystem;
  systest::TempDir tmp("gvdns-link");
  const fs::path& root = tmp.path();
  fs::create_directories(root / "etc");
  fs::create_directories(root / "run");
  std::ofstream(root / "run/stub.conf") << "nameserver 127.0.0.53\n";
  struct Case {
    const char* name;
    bool link;
    bool crash;  // the run ends without restoring; the next start restores
  };
  for (Case c : {Case{"link", true, false}, Case{"link after a crash", true, true},
                 Case{"absent", false, false}, Case{"absent after a crash", false, true}}) {
    SCOPED_TRACE(c.name);
    fs::remove(root / "etc/resolv.conf");
    if (c.link) fs::create_symlink(root / "run/stub.conf", root / "etc/resolv.conf");
    {
      DnsConfigurator dns(DnsConfigurator::Mode::ResolvConf, "gvtun0", root);
      dns.restoreStale();
      ASSERT_FALSE(dns.apply({"198.18.0.1"}, {""}));
      EXPECT_FALSE(fs::is_symlink(root / "etc/resolv.conf"));
      if (!c.crash) dns.restore();
    }
    if (c.crash) DnsConfigurator(DnsConfigurator::Mode::ResolvConf, "gvtun0", root).restoreStale();
    EXPECT_EQ(fs::is_symlink(root / "etc/resolv.conf"), c.link);
    if (c.link) {
      EXPECT_EQ(fs::read_symlink(root / "etc/resolv.conf"), root / "run/stub.conf");
    } else {
      EXPECT_FALSE(fs::exists(root / "etc/resolv.conf"));
    }
    EXPECT_FALSE(fs::is_symlink(root / "etc/resolv.conf.galvent-backup"));
    EXPECT_FALSE(fs::exists(root / "etc/resolv.conf.galvent-backup"));
    // The resolver's own file was never written through the link.
    std::ifstream stub(root / "run/stub.conf");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stub), {}), "nameserver 127.0.0.53\n");
  }
}

// systemd-resolved does not run in a build container, so a stand-in resolvectl that records its
// arguments is put first on PATH: the link settings asked for, their revert at restore, and a
// refusal reported as an error rather than a tunnel without DNS.
TEST(DnsConfigurator, ServersThatAreNotIPv4AddressesRefuseTheSettings) {
  systest::TempDir tmp("gvdns");
  const auto& root = tmp.path();
  std::filesystem::create_directories(root / "etc");
  const std::string original = "nameserver 9.9.9.9\n";
  std::ofstream(root / "etc/resolv.conf") << original;
  const std::vector<std::vector<std::string>> bad = {
      {},           {""},    {"1.2.3.4\nnameserver 6.6.6.6"}, {"example.org"},
      {"1.2.3.4 "}, {"::1"}, {"1.2.3.4", "300.1.1.1"},        {"1.2.3"}};
  for (const auto& servers : bad) {
    for (auto mode : {DnsConfigurator::Mode::ResolvConf, DnsConfigurator::Mode::None}) {
      DnsConfigurator dns(mode, "gvtun0", root);
      EXPECT_TRUE(dns.apply(servers, {}).has_value()) << testing::PrintToString(servers);
    }
    std::ifstream in(root / "etc/resolv.conf");
    std::string now((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(now, original);
    EXPECT_FALSE(std::filesystem::exists(root / "etc/resolv.conf.galvent-backup"));
  }
}

TEST(DnsConfigurator, ResolvedModeAsksForLinkDnsAndRoutingDomain) {
  namespace fs = std::filesystem;
  systest::TempDir tmp("gvdns-resolved");
  const fs::path& dir = tmp.path();
  const fs::path log = dir / "calls";
  auto writeTool = [&](int status) {
    std::ofstream(dir / "resolvectl")
        << "#!/bin/sh\necho \"$*\" >> " << log.string() << "\nexit " << status << "\n";
    fs::permissions(dir / "resolvectl", fs::perms::owner_all);
  };
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir.string() + ":" + oldPath).c_str(), 1);
  auto calls = [&] {
    std::ifstream in(log);
    std::string all((std::istreambuf_iterator<char>(in)), {});
    fs::remove(log);
    return all;
  };

  writeTool(0);
  {
    DnsConfigurator dns(DnsConfigurator::Mode::Resolved, "gvtun3", dir);
    EXPECT_FALSE(dns.apply({"198.18.0.1"}, {""}));
    EXPECT_EQ(calls(), "dns gvtun3 198.18.0.1\ndomain gvtun3 ~.\n");
    dns.restore();
    EXPECT_EQ(calls(), "revert gvtun3\n");
    dns.restore();  // once only
    EXPECT_EQ(calls(), "");
  }
  writeTool(1);
  {
    DnsConfigurator dns(DnsConfigurator::Mode::Resolved, "gvtun3", dir);
    auto error = dns.apply({"198.18.0.1"}, {"game.example"});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "resolvectl refused the DNS settings");
    calls();
    dns.restore();  // nothing was applied, nothing to revert
    EXPECT_EQ(calls(), "");
  }
  // The mode is chosen by resolved's socket being there.
  EXPECT_EQ(DnsConfigurator::detectMode(dir), DnsConfigurator::Mode::ResolvConf);
  fs::create_directories(dir / "run/systemd/resolve");
  std::ofstream(dir / "run/systemd/resolve/io.systemd.Resolve");
  EXPECT_EQ(DnsConfigurator::detectMode(dir), DnsConfigurator::Mode::Resolved);

  ::setenv("PATH", oldPath.c_str(), 1);
}
