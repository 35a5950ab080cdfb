// Linux network services: the IPv4 filter on two netfilter queues fed by our iptables chains,
// answers injected through a TUN device.
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "Backend.h"
#include "Flows.h"
#include "Injector.h"
#include "QueueLoop.h"
#include "platform/kern/kern.h"

namespace platform::kern {

struct ipfilter_opaque {
  ipf_filter f;
  ipf_filter queued;  // what the queues call: the socket filters' turn first
  linux_backend::Injector injector;
  std::unique_ptr<linux_backend::QueueLoop> output;
  std::unique_ptr<linux_backend::QueueLoop> input;
};

namespace {
std::mutex g_m;
ipf_filter g_core;  // the filter the queues' wrapper hands packets on to

errno_t output_with_flows(void*, mbuf_t* data) {
  bool left_out = linux_backend::flows_on_output(mbuf_data(*data), mbuf_len(*data));
  errno_t r = g_core.ipf_output ? g_core.ipf_output(g_core.cookie, data) : 0;
  // Only a packet the IPv4 filter let pass unchanged: its flow is then none of the filter's.
  if (left_out && r == 0 && *data && !mbuf_modified(*data))
    linux_backend::QueueLoop::leave_flow_out();
  return r;
}
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
  g_core = *filter;
  ipf->queued = *filter;
  ipf->queued.ipf_output = output_with_flows;
  linux_backend::OwnerLookup lookup;
  lookup.key = linux_backend::flows_flow_key;
  lookup.known = linux_backend::flows_known;
  lookup.resolve = linux_backend::flows_resolve;
  ipf->output = std::make_unique<QueueLoop>(linux_backend::kOutputQueue, QueueLoop::Side::kOutput,
                                            &ipf->queued, lookup);
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
  // Counted before it is written: once the socket has its answer it may close, and its last
  // answers must still count. Outside the lock: a miss in the flow table asks the kernel.
  linux_backend::flows_on_injected(mbuf_data(data), mbuf_len(data));
  errno_t e;
  {
    std::lock_guard g(g_m);
    e = g_ipf ? g_ipf->injector.inject(mbuf_data(data), mbuf_len(data)) : ENODEV;
  }
  mbuf_freem(data);
  return e;
}

}  // namespace platform::kern
