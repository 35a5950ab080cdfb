// Linux network services: the IPv4 filter on two netfilter queues fed by our iptables chains,
// answers injected through a TUN device. Socket filters register but nothing is attached yet.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "Injector.h"
#include "QueueLoop.h"
#include "platform/kern/kern.h"
#include "Backend.h"

namespace platform::kern {

struct ipfilter_opaque {
  ipf_filter f;
  linux_backend::Injector injector;
  std::unique_ptr<linux_backend::QueueLoop> output;
  std::unique_ptr<linux_backend::QueueLoop> input;
};

namespace {
std::mutex g_m;
std::vector<sflt_filter> g_filters;
// The one IPv4 filter: injection reaches its device.
ipfilter_opaque* g_ipf = nullptr;

void log_error(const char* what, int e) {
  char line[160];
  std::snprintf(line, sizeof line, "tamseld %s failed: %d\n", what, e);
  kern_log_line(line);
}

// Undoes what ipf_addv4 set up, in reverse: no packet is queued once the chains are gone, then no
// filter call runs once the loops are joined.
void tear_down(ipfilter_opaque* ipf) {
  linux_backend::chains_remove();
  if (ipf->output) ipf->output->stop();
  if (ipf->input) ipf->input->stop();
  ipf->injector.close();
}
}  // namespace

errno_t sflt_register(const sflt_filter* filter, int, int, int) {
  std::lock_guard g(g_m);
  for (auto& f : g_filters)
    if (f.sf_handle == filter->sf_handle) return EEXIST;
  g_filters.push_back(*filter);
  return 0;
}

errno_t sflt_unregister(sflt_handle handle) {
  sflt_filter found{};
  {
    std::lock_guard g(g_m);
    auto it = g_filters.begin();
    while (it != g_filters.end() && it->sf_handle != handle) ++it;
    if (it == g_filters.end()) return ENOENT;
    found = *it;
    g_filters.erase(it);
  }
  if (found.sf_unregistered) found.sf_unregistered(handle);
  return 0;
}

errno_t sflt_detach(socket_t, sflt_handle) { return ENOENT; }
void proc_selfname(char* buf, int size) {
  if (size > 0) buf[0] = 0;
}
errno_t sock_getsockname(socket_t, sockaddr_in*) { return EOPNOTSUPP; }
errno_t sock_tcp_info(socket_t, tcp_conn_info*) { return EOPNOTSUPP; }

errno_t ipf_addv4(const ipf_filter* filter, ipfilter_t* ref) {
  using linux_backend::QueueLoop;
  std::lock_guard g(g_m);
  if (g_ipf) return EEXIST;
  auto ipf = std::make_unique<ipfilter_opaque>();
  ipf->f = *filter;
  int e = ipf->injector.open();
  if (e != 0) {
    log_error("creating the injection device", e);
    return e;
  }
  ipf->output = std::make_unique<QueueLoop>(linux_backend::kOutputQueue,
                                            QueueLoop::Side::kOutput, filter);
  ipf->input =
      std::make_unique<QueueLoop>(linux_backend::kInputQueue, QueueLoop::Side::kInput, filter);
  if ((e = ipf->output->start()) != 0 || (e = ipf->input->start()) != 0) {
    log_error("binding the netfilter queues", e);
    tear_down(ipf.get());
    return e;
  }
  if ((e = linux_backend::chains_install()) != 0) {
    tear_down(ipf.get());
    return e;
  }
  g_ipf = ipf.release();
  *ref = g_ipf;
  return 0;
}

errno_t ipf_remove(ipfilter_t ref) {
  if (!ref) return EINVAL;
  {
    std::lock_guard g(g_m);
    if (ref != g_ipf) return EINVAL;
    g_ipf = nullptr;
  }
  tear_down(ref);
  if (ref->f.ipf_detach) ref->f.ipf_detach(ref->f.cookie);
  delete ref;
  return 0;
}

errno_t ipf_inject_input(mbuf_t data, ipfilter_t) {
  errno_t e;
  {
    std::lock_guard g(g_m);
    e = g_ipf ? g_ipf->injector.inject(mbuf_data(data), mbuf_len(data)) : ENODEV;
  }
  mbuf_freem(data);
  return e;
}

}  // namespace platform::kern
