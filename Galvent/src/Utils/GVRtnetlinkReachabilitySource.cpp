// Reachability from the main routing table's default route, followed through rtnetlink.
#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Utils/GVNetworkMonitor.h"
#include "platform/dispatch/Queue.h"

namespace {

struct DefaultRoute {
  uint32_t oif = 0;
  uint32_t priority = UINT32_MAX;
};

struct DumpState {
  std::vector<DefaultRoute> routes;
};

int routeAttr(const nlattr* attr, void* data) {
  auto* tb = static_cast<const nlattr**>(data);
  int type = mnl_attr_get_type(attr);
  if (mnl_attr_type_valid(attr, RTA_MAX) < 0) return MNL_CB_OK;
  if ((type == RTA_OIF || type == RTA_PRIORITY || type == RTA_TABLE) &&
      mnl_attr_validate(attr, MNL_TYPE_U32) < 0)
    return MNL_CB_OK;  // malformed attribute: ignore it
  tb[type] = attr;
  return MNL_CB_OK;
}

int routeMessage(const nlmsghdr* nlh, void* data) {
  auto* state = static_cast<DumpState*>(data);
  if (nlh->nlmsg_type != RTM_NEWROUTE) return MNL_CB_OK;
  if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(rtmsg))) return MNL_CB_OK;
  const auto* rtm = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(nlh));
  if (rtm->rtm_family != AF_INET || rtm->rtm_dst_len != 0 || rtm->rtm_type != RTN_UNICAST)
    return MNL_CB_OK;
  const nlattr* tb[RTA_MAX + 1] = {};
  mnl_attr_parse(nlh, sizeof(*rtm), routeAttr, tb);
  uint32_t table = tb[RTA_TABLE] ? mnl_attr_get_u32(tb[RTA_TABLE]) : rtm->rtm_table;
  if (table != RT_TABLE_MAIN || !tb[RTA_OIF]) return MNL_CB_OK;
  DefaultRoute r;
  r.oif = mnl_attr_get_u32(tb[RTA_OIF]);
  if (tb[RTA_PRIORITY]) r.priority = mnl_attr_get_u32(tb[RTA_PRIORITY]);
  state->routes.push_back(r);
  return MNL_CB_OK;
}

bool isWWAN(const std::string& sysClassNet, const std::string& ifname) {
  std::ifstream uevent(sysClassNet + "/" + ifname + "/uevent");
  std::string line;
  while (std::getline(uevent, line))
    if (line == "DEVTYPE=wwan") return true;
  return false;
}

}  // namespace

struct GVRtnetlinkReachabilitySource::Impl {
  std::string tunnel;
  std::string sysClassNet;
  std::thread thread;
  int stopFd = -1;
  std::atomic<bool> running{false};

  int readStatus() const {
    mnl_socket* nl = mnl_socket_open(NETLINK_ROUTE);
    if (!nl) return GVReachabilityNotReachable;
    DumpState state;
    if (mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) == 0) {
      std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
      nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
      nlh->nlmsg_type = RTM_GETROUTE;
      nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
      unsigned seq = static_cast<unsigned>(time(nullptr));
      nlh->nlmsg_seq = seq;
      auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
      rtm->rtm_family = AF_INET;
      unsigned portid = mnl_socket_get_portid(nl);
      if (mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) >= 0) {
        for (;;) {
          ssize_t n = mnl_socket_recvfrom(nl, buf.data(), buf.size());
          if (n <= 0) break;
          int ret =
              mnl_cb_run(buf.data(), static_cast<size_t>(n), seq, portid, routeMessage, &state);
          if (ret <= MNL_CB_STOP) break;
        }
      }
    }
    mnl_socket_close(nl);

    const DefaultRoute* best = nullptr;
    std::string bestName;
    for (const auto& r : state.routes) {
      char name[IF_NAMESIZE] = {};
      if (!if_indextoname(r.oif, name)) continue;
      if (!tunnel.empty() && tunnel == name) continue;
      if (!best || r.priority < best->priority) {
        best = &r;
        bestName = name;
      }
    }
    if (!best) return GVReachabilityNotReachable;
    return isWWAN(sysClassNet, bestName) ? GVReachabilityViaWWAN : GVReachabilityViaWiFi;
  }

  void run(Report report) {
    mnl_socket* events = mnl_socket_open(NETLINK_ROUTE);
    if (!events ||
        mnl_socket_bind(events, RTMGRP_IPV4_ROUTE | RTMGRP_LINK, MNL_SOCKET_AUTOPID) < 0) {
      GVLogError("network monitor: rtnetlink unavailable");
      if (events) mnl_socket_close(events);
      return;
    }
    int last = GVReachabilityUnknown;
    auto deliver = [&] {
      int now = readStatus();
      if (now == last) return;
      last = now;
      platform::dispatch::postToMain([report, now] { report(now); });
    };
    deliver();
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    while (running) {
      pollfd fds[2] = {{mnl_socket_get_fd(events), POLLIN, 0}, {stopFd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents) break;
      // The event's content is not needed: any route or link change triggers a fresh reading.
      // An overrun (ENOBUFS) lost events, which a fresh reading also covers.
      while (recv(mnl_socket_get_fd(events), buf.data(), buf.size(), MSG_DONTWAIT) > 0) {
      }
      deliver();
    }
    mnl_socket_close(events);
  }
};

GVRtnetlinkReachabilitySource::GVRtnetlinkReachabilitySource(std::string tunnelInterface,
                                                             std::string sysClassNet)
    : impl_(std::make_unique<Impl>()) {
  impl_->tunnel = std::move(tunnelInterface);
  impl_->sysClassNet = std::move(sysClassNet);
}

GVRtnetlinkReachabilitySource::~GVRtnetlinkReachabilitySource() { stop(); }

void GVRtnetlinkReachabilitySource::start(Report report) {
  if (impl_->running.exchange(true)) return;
  impl_->stopFd = eventfd(0, EFD_CLOEXEC);
  impl_->thread =
      std::thread([impl = impl_.get(), report = std::move(report)] { impl->run(report); });
}

void GVRtnetlinkReachabilitySource::stop() {
  if (!impl_->running.exchange(false)) return;
  uint64_t one = 1;
  if (write(impl_->stopFd, &one, sizeof(one)) < 0) {
  }
  if (impl_->thread.joinable()) impl_->thread.join();
  close(impl_->stopFd);
  impl_->stopFd = -1;
}

int GVRtnetlinkReachabilitySource::currentStatus() const { return impl_->readStatus(); }
