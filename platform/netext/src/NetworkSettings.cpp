#include "platform/netext/NetworkSettings.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/fib_rules.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace platform::netext {

std::optional<int> prefixLengthOfMask(const std::string& mask) {
  in_addr addr{};
  if (::inet_pton(AF_INET, mask.c_str(), &addr) != 1) return std::nullopt;
  uint32_t m = ntohl(addr.s_addr);
  int len = 0;
  while (len < 32 && (m & (0x80000000u >> len))) ++len;
  // Anything set after the first clear bit is not a prefix mask.
  if (len < 32 && (m << len) != 0) return std::nullopt;
  return len;
}

namespace {

std::string routeText(const IPv4Route& r) {
  auto len = prefixLengthOfMask(r.destinationSubnetMask);
  return r.destinationAddress + "/" + (len ? std::to_string(*len) : r.destinationSubnetMask);
}

}  // namespace

std::optional<ControlError> RecordingSettingsApplier::apply(const NetworkSettings* settings) {
  if (!settings) {
    lines.push_back("clear");
    calls.emplace_back(std::nullopt);
  } else {
    calls.emplace_back(*settings);
    lines.push_back("remote " + settings->tunnelRemoteAddress);
    if (settings->ipv4Settings) {
      const auto& v4 = *settings->ipv4Settings;
      for (size_t i = 0; i < v4.addresses.size(); ++i)
        lines.push_back("address " + v4.addresses[i] + " " +
                        (i < v4.subnetMasks.size() ? v4.subnetMasks[i] : ""));
      for (const auto& r : v4.includedRoutes) lines.push_back("include " + routeText(r));
      for (const auto& r : v4.excludedRoutes) lines.push_back("exclude " + routeText(r));
    }
    if (settings->dnsSettings) {
      for (const auto& s : settings->dnsSettings->servers) lines.push_back("dns " + s);
      for (const auto& d : settings->dnsSettings->matchDomains)
        lines.push_back("match \"" + d + "\"");
    }
    if (settings->mtu) lines.push_back("mtu " + std::to_string(*settings->mtu));
  }
  return refuseWith;
}

namespace {

constexpr const char* kSrcValidMark = "/proc/sys/net/ipv4/conf/all/src_valid_mark";
// Root's own folder: the values a run changed, kept until the run puts them back, so that a crash
// leaves what to put back to the guardian or the next start.
constexpr const char* kStateFolder = "/run/galvent-tunnel";

// The setting is per network namespace, and runs of different tables may share one: the saved
// value is named after both.
std::string savedSrcValidMarkPath(uint32_t mark, uint32_t table) {
  struct stat ns {};
  if (::stat("/proc/self/ns/net", &ns) != 0) return {};
  return std::string(kStateFolder) + "/src_valid_mark." + std::to_string(ns.st_ino) + "." +
         std::to_string(mark) + "." + std::to_string(table);
}

// The values the setting takes; anything else is not put back.
bool soundSrcValidMark(const std::string& v) { return v == "0" || v == "1"; }

// Written (0600, replaced whole) before the setting changes; false when it could not be.
bool saveSrcValidMark(const std::string& path, const std::string& value) {
  if (path.empty()) return false;
  if (::mkdir(kStateFolder, 0700) != 0 && errno != EEXIST) return false;
  struct stat folder {};
  // Only a folder of root's that nobody else may write is trusted with it.
  if (::lstat(kStateFolder, &folder) != 0 || !S_ISDIR(folder.st_mode) || folder.st_uid != 0 ||
      (folder.st_mode & 022) != 0)
    return false;
  const std::string temp = path + ".new";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string line = value + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// The value a run saved and did not put back, read once and removed.
std::optional<std::string> takeSavedSrcValidMark(const std::string& path) {
  if (path.empty()) return std::nullopt;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  char text[8] = {};
  ssize_t n = -1;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0)
    n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  ::unlink(path.c_str());
  if (n <= 0) return std::nullopt;
  std::string value(text, static_cast<size_t>(n));
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
  if (!soundSrcValidMark(value)) return std::nullopt;
  return value;
}

void writeSrcValidMark(const std::string& value) {
  std::ofstream out(kSrcValidMark);
  out << value << "\n";
}

}  // namespace

// One rtnetlink request at a time, each acknowledged.
struct RtnetlinkSettingsApplier::Impl {
  std::string name;
  uint32_t mark;
  uint32_t table;
  uint32_t dnsTable;
  mnl_socket* nl = nullptr;
  uint32_t seq = 0;
  unsigned portid = 0;
  static constexpr uint32_t kTunQueueLength = 256;
  bool rulesAdded = false;
  bool dnsRouted = false;
  bool marksRestored = false;
  std::optional<std::string> savedSrcValidMark;       // the value before this applier set it
  std::vector<std::pair<uint32_t, int>> throwRoutes;  // destination (network order), prefix
  std::vector<std::pair<uint32_t, int>> devRoutes;

  int open() {
    if (nl) return 0;
    nl = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (!nl) return -errno;
    if (mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0) {
      int err = errno;
      mnl_socket_close(nl);
      nl = nullptr;
      return -err;
    }
    portid = mnl_socket_get_portid(nl);
    return 0;
  }

  int request(nlmsghdr* nlh) {
    if (int rc = open(); rc != 0) return rc;
    nlh->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
    nlh->nlmsg_seq = ++seq;
    if (mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) < 0) return -errno;
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    for (;;) {
      ssize_t n = mnl_socket_recvfrom(nl, buf.data(), buf.size());
      if (n < 0) return -errno;
      int rc = mnl_cb_run(buf.data(), static_cast<size_t>(n), seq, portid, nullptr, nullptr);
      if (rc == MNL_CB_ERROR) return -errno;
      if (rc == MNL_CB_STOP) return 0;
    }
  }

  int address(uint32_t addr, int prefix, int ifindex) {
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_NEWADDR;
    nlh->nlmsg_flags = NLM_F_CREATE | NLM_F_REPLACE;
    auto* ifa = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = static_cast<uint8_t>(prefix);
    ifa->ifa_index = static_cast<unsigned>(ifindex);
    mnl_attr_put_u32(nlh, IFA_LOCAL, addr);
    mnl_attr_put_u32(nlh, IFA_ADDRESS, addr);
    return request(nlh);
  }

  int link(int ifindex, std::optional<int64_t> mtu) {
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_NEWLINK;
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = ifindex;
    ifi->ifi_flags = IFF_UP;
    ifi->ifi_change = IFF_UP;
    if (mtu) mnl_attr_put_u32(nlh, IFLA_MTU, static_cast<uint32_t>(*mtu));
    // The device's queue is the one every packet of the machine waits in before the tunnel
    // reads it: short, so that a flood from one program costs the others about a millisecond
    // of waiting, not several.
    mnl_attr_put_u32(nlh, IFLA_TXQLEN, kTunQueueLength);
    return request(nlh);
  }

  int route(bool add, uint32_t dst, int prefix, int ifindex, bool isThrow) {
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = add ? RTM_NEWROUTE : RTM_DELROUTE;
    if (add) nlh->nlmsg_flags = NLM_F_CREATE | NLM_F_REPLACE;
    auto* rt = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
    rt->rtm_family = AF_INET;
    rt->rtm_dst_len = static_cast<uint8_t>(prefix);
    rt->rtm_table = RT_TABLE_UNSPEC;
    rt->rtm_protocol = RTPROT_BOOT;
    rt->rtm_scope = isThrow ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
    rt->rtm_type = isThrow ? RTN_THROW : RTN_UNICAST;
    mnl_attr_put_u32(nlh, RTA_TABLE, table);
    if (prefix > 0) mnl_attr_put_u32(nlh, RTA_DST, dst);
    if (!isThrow && ifindex > 0) mnl_attr_put_u32(nlh, RTA_OIF, static_cast<uint32_t>(ifindex));
    return request(nlh);
  }

  // A policy rule of ours. Priorities are fixed so that an add with NLM_F_EXCL finds a leftover
  // of an earlier run instead of piling up a copy at the next free priority.
  struct Rule {
    uint8_t action = FR_ACT_TO_TBL;
    uint32_t table = 0;
    bool invert = false;
    std::optional<uint32_t> fwmark;
    bool dnsOnly = false;  // ipproto udp dport 53
    std::optional<uint32_t> priority;
    uint32_t gotoTarget = 0;
  };

  // Marked DNS skips the capture rule; unmarked DNS goes to the DNS table whatever resolver
  // address it is sent to; everything else unmarked goes to the tunnel table. (An inverted rule
  // inverts all its selectors, so "not marked and DNS" takes a jump over the capture rule.)
  Rule skipRule() const {
    return {FR_ACT_GOTO, 0, false, mark, true, kRulePriority, kRulePriority + 2};
  }
  Rule dnsRule() const { return {FR_ACT_TO_TBL, dnsTable, false, {}, true, kRulePriority + 1}; }
  Rule tunnelRule() const { return {FR_ACT_TO_TBL, table, true, mark, false, kRulePriority + 2}; }

  int rule(bool add, const Rule& r) {
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = add ? RTM_NEWRULE : RTM_DELRULE;
    if (add) nlh->nlmsg_flags = NLM_F_CREATE | NLM_F_EXCL;
    auto* frh = static_cast<fib_rule_hdr*>(mnl_nlmsg_put_extra_header(nlh, sizeof(fib_rule_hdr)));
    frh->family = AF_INET;
    frh->action = r.action;
    frh->flags = r.invert ? FIB_RULE_INVERT : 0;
    frh->table = RT_TABLE_UNSPEC;
    if (r.fwmark) {
      mnl_attr_put_u32(nlh, FRA_FWMARK, *r.fwmark);
      mnl_attr_put_u32(nlh, FRA_FWMASK, 0xffffffffu);
    }
    if (r.table) mnl_attr_put_u32(nlh, FRA_TABLE, r.table);
    if (r.dnsOnly) {
      mnl_attr_put_u8(nlh, FRA_IP_PROTO, IPPROTO_UDP);
      fib_rule_port_range dport{53, 53};
      mnl_attr_put(nlh, FRA_DPORT_RANGE, sizeof dport, &dport);
    }
    if (r.priority) mnl_attr_put_u32(nlh, FRA_PRIORITY, *r.priority);
    if (r.action == FR_ACT_GOTO) mnl_attr_put_u32(nlh, FRA_GOTO, r.gotoTarget);
    return request(nlh);
  }

  // Deletes every rule that matches r (its priority left out), however many runs left one.
  int deleteAll(Rule r) {
    // A jump must name a target after its own priority, so that one keeps its fixed priority.
    if (r.action != FR_ACT_GOTO) r.priority.reset();
    for (int i = 0; i < 4096; ++i) {
      int rc = rule(false, r);
      if (rc == -ENOENT) return 0;
      if (rc != 0) return rc;
    }
    return 0;
  }

  // Deletes every route of a table, found by a dump.
  int flushTable(uint32_t which) {
    if (int rc = open(); rc != 0) return rc;
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
    nlh->nlmsg_type = RTM_GETROUTE;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    nlh->nlmsg_seq = ++seq;
    auto* rt = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
    rt->rtm_family = AF_INET;
    if (mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) < 0) return -errno;
    struct Found {
      uint32_t table;
      std::vector<std::tuple<uint32_t, int, uint8_t>> routes;  // dst, prefix, type
    } found{which, {}};
    auto collect = [](const nlmsghdr* h, void* data) -> int {
      auto* f = static_cast<Found*>(data);
      const auto* r = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(h));
      uint32_t tableId = r->rtm_table, dst = 0;
      const char* tail = static_cast<const char*>(mnl_nlmsg_get_payload_tail(h));
      for (auto* attr = static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(h, sizeof(rtmsg)));
           mnl_attr_ok(attr, static_cast<int>(tail - reinterpret_cast<const char*>(attr)));
           attr = mnl_attr_next(attr)) {
        if (mnl_attr_get_type(attr) == RTA_TABLE && mnl_attr_get_payload_len(attr) >= 4)
          tableId = mnl_attr_get_u32(attr);
        if (mnl_attr_get_type(attr) == RTA_DST && mnl_attr_get_payload_len(attr) >= 4)
          dst = mnl_attr_get_u32(attr);
      }
      if (tableId == f->table) f->routes.emplace_back(dst, r->rtm_dst_len, r->rtm_type);
      return MNL_CB_OK;
    };
    for (;;) {
      ssize_t n = mnl_socket_recvfrom(nl, buf.data(), buf.size());
      if (n < 0) return -errno;
      int rc = mnl_cb_run(buf.data(), static_cast<size_t>(n), seq, portid, collect, &found);
      if (rc == MNL_CB_ERROR) return -errno;
      if (rc == MNL_CB_STOP) break;
    }
    const uint32_t saved = table;
    table = which;
    for (auto [dst, prefix, type] : found.routes)
      (void)route(false, dst, prefix, 0, type == RTN_THROW);
    table = saved;
    return 0;
  }

  // Runs iptables with `args` (no shell, empty environment); true when it exits with 0.
  static bool iptables(const std::vector<std::string>& args) {
    static const char* const kTools[] = {"/usr/sbin/iptables", "/sbin/iptables"};
    const char* tool = nullptr;
    for (const char* t : kTools)
      if (::access(t, X_OK) == 0) tool = t;
    if (!tool) return false;
    std::vector<char*> argv{const_cast<char*>(tool)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char* const env[] = {nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, tool, &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::vector<std::vector<std::string>> markRules(const char* op) const {
    const std::string m = std::to_string(mark);
    return {{"-w", "-t", "mangle", op, "OUTPUT", "-m", "mark", "--mark", m, "-j", "CONNMARK",
             "--save-mark"},
            {"-w", "-t", "mangle", op, "PREROUTING", "-m", "connmark", "--mark", m, "-j",
             "CONNMARK", "--restore-mark"}};
  }

  // Lets answers to marked sockets through a strict reverse-path check (see the header).
  void restoreMarks() {
    // Without iptables the tunnel still runs; only a strict reverse-path check then drops the
    // answers, as it would without this.
    for (const auto& r : markRules("-A")) (void)iptables(r);
    marksRestored = true;
    std::ifstream in(kSrcValidMark);
    std::string old;
    if (in >> old && old != "1" && soundSrcValidMark(old)) {
      // Saved first, so that a crash at any point after leaves the old value to put back.
      const std::string path = savedSrcValidMarkPath(mark, table);
      if (!saveSrcValidMark(path, old))
        std::fprintf(stderr,
                     "W cannot save net.ipv4.conf.all.src_valid_mark in %s: a crash "
                     "would leave it 1\n",
                     kStateFolder);
      std::ofstream out(kSrcValidMark);
      if (out << "1\n") {
        savedSrcValidMark = old;
      } else {
        (void)takeSavedSrcValidMark(path);
      }
    }
  }

  // Deletes the mark rules however many runs left them.
  void removeMarkRules() {
    for (const auto& r : markRules("-D"))
      for (int i = 0; i < 64 && iptables(r); ++i) {
      }
  }

  void clear() {
    if (marksRestored) removeMarkRules();
    marksRestored = false;
    if (savedSrcValidMark) {
      writeSrcValidMark(*savedSrcValidMark);
      (void)takeSavedSrcValidMark(savedSrcValidMarkPath(mark, table));
    }
    savedSrcValidMark.reset();
    if (rulesAdded) {
      (void)rule(false, tunnelRule());
      (void)rule(false, dnsRule());
      (void)rule(false, skipRule());
    }
    rulesAdded = false;
    // Routes through the device go with it; throw routes stay in the table unless removed.
    for (auto [dst, prefix] : throwRoutes) (void)route(false, dst, prefix, 0, true);
    for (auto [dst, prefix] : devRoutes) (void)route(false, dst, prefix, 0, false);
    if (dnsRouted) {
      const uint32_t saved = table;
      table = dnsTable;
      (void)route(false, 0, 0, 0, false);
      table = saved;
    }
    dnsRouted = false;
    throwRoutes.clear();
    devRoutes.clear();
  }
};

RtnetlinkSettingsApplier::RtnetlinkSettingsApplier(std::string interfaceName, uint32_t mark,
                                                   uint32_t table)
    : impl_(std::make_unique<Impl>()) {
  impl_->name = std::move(interfaceName);
  impl_->mark = mark;
  impl_->table = table;
  impl_->dnsTable = dnsTableFor(table);
}

RtnetlinkSettingsApplier::~RtnetlinkSettingsApplier() {
  if (impl_->nl) mnl_socket_close(impl_->nl);
}

std::optional<ControlError> RtnetlinkSettingsApplier::apply(const NetworkSettings* settings) {
  auto fail = [&](const std::string& what, int rc) {
    return ControlError{"NEVPNErrorDomain", -rc,
                        what + " on " + impl_->name + ": " + std::strerror(-rc)};
  };
  impl_->clear();
  if (!settings) return std::nullopt;
  int ifindex = static_cast<int>(::if_nametoindex(impl_->name.c_str()));
  if (ifindex == 0) return fail("no interface", -ENODEV);

  auto parse = [](const std::string& text, uint32_t& out) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    out = a.s_addr;
    return true;
  };

  if (settings->ipv4Settings) {
    const auto& v4 = *settings->ipv4Settings;
    for (size_t i = 0; i < v4.addresses.size(); ++i) {
      uint32_t addr;
      if (!parse(v4.addresses[i], addr)) return fail("bad address " + v4.addresses[i], -EINVAL);
      auto prefix = i < v4.subnetMasks.size() ? prefixLengthOfMask(v4.subnetMasks[i]) : 32;
      if (!prefix) return fail("bad mask", -EINVAL);
      if (int rc = impl_->address(addr, *prefix, ifindex); rc != 0) return fail("address", rc);
    }
  }
  if (int rc = impl_->link(ifindex, settings->mtu); rc != 0) return fail("link up", rc);
  {
    // Replies to outside addresses arrive on the TUN while their routes point elsewhere.
    std::ofstream rp("/proc/sys/net/ipv4/conf/" + impl_->name + "/rp_filter");
    if (rp) rp << "2\n";
  }
  if (settings->ipv4Settings) {
    const auto& v4 = *settings->ipv4Settings;
    auto each = [&](const std::vector<IPv4Route>& routes,
                    bool isThrow) -> std::optional<ControlError> {
      for (const auto& r : routes) {
        uint32_t dst;
        auto prefix = prefixLengthOfMask(r.destinationSubnetMask);
        if (!parse(r.destinationAddress, dst) || !prefix) continue;  // unusable lines are skipped
        uint32_t maskBits = *prefix == 0 ? 0 : htonl(0xffffffffu << (32 - *prefix));
        dst &= maskBits;
        int rc = impl_->route(true, dst, *prefix, ifindex, isThrow);
        if (rc == -EEXIST) continue;
        if (rc != 0) return fail("route " + r.destinationAddress, rc);
        (isThrow ? impl_->throwRoutes : impl_->devRoutes).emplace_back(dst, *prefix);
      }
      return std::nullopt;
    };
    if (auto e = each(v4.includedRoutes, false)) return e;
    if (auto e = each(v4.excludedRoutes, true)) return e;
  }
  if (settings->dnsSettings) {
    // The DNS table holds only the way into the tunnel.
    const uint32_t saved = impl_->table;
    impl_->table = impl_->dnsTable;
    int rc = impl_->route(true, 0, 0, ifindex, false);
    impl_->table = saved;
    if (rc != 0 && rc != -EEXIST) return fail("DNS route", rc);
    impl_->dnsRouted = true;
  }
  // Rules last: nothing is sent into the tunnel before its routes are there. Each add is
  // exclusive; a leftover of a crashed run (EEXIST) is ours and is removed at clear as well.
  impl_->rulesAdded = true;
  auto add = [&](const Impl::Rule& r) {
    int rc = impl_->rule(true, r);
    return rc == -EEXIST ? 0 : rc;
  };
  if (settings->dnsSettings) {
    if (int rc = add(impl_->skipRule()); rc != 0) return fail("DNS rule", rc);
    if (int rc = add(impl_->dnsRule()); rc != 0) return fail("DNS rule", rc);
  }
  if (int rc = add(impl_->tunnelRule()); rc != 0) return fail("rule", rc);
  impl_->restoreMarks();
  return std::nullopt;
}

int removeTunnelPolicy(uint32_t mark, uint32_t table) {
  RtnetlinkSettingsApplier::Impl impl;
  impl.mark = mark;
  impl.table = table;
  impl.dnsTable = dnsTableFor(table);
  int first = 0;
  auto note = [&](int rc) {
    if (rc != 0 && first == 0) first = rc;
  };
  // Rules of every shape this daemon ever added, whatever their priority.
  note(impl.deleteAll(impl.tunnelRule()));
  note(impl.deleteAll(impl.dnsRule()));
  note(impl.deleteAll(impl.skipRule()));
  note(impl.flushTable(table));
  note(impl.flushTable(impl.dnsTable));
  // The mark rules too, and src_valid_mark as it was before the run that set it.
  impl.removeMarkRules();
  if (auto saved = takeSavedSrcValidMark(savedSrcValidMarkPath(mark, table)))
    writeSrcValidMark(*saved);
  if (impl.nl) mnl_socket_close(impl.nl);
  return first;
}

}  // namespace platform::netext
