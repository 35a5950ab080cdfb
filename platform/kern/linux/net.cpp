// Linux network services, first version: registrations succeed and nothing is attached or
// intercepted yet; kernel sockets are not offered.
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/kern/kern.h"

namespace platform::kern {

struct ipfilter_opaque {
  ipf_filter f;
};

namespace {
std::mutex g_m;
std::vector<sflt_filter> g_filters;
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
  *ref = new ipfilter_opaque{*filter};
  return 0;
}

errno_t ipf_remove(ipfilter_t ref) {
  if (!ref) return EINVAL;
  if (ref->f.ipf_detach) ref->f.ipf_detach(ref->f.cookie);
  delete ref;
  return 0;
}

errno_t ipf_inject_input(mbuf_t data, ipfilter_t) {
  mbuf_freem(data);
  return EOPNOTSUPP;
}

errno_t sock_socket(int, int, int, sock_upcall, void*, socket_t* out) {
  *out = nullptr;
  return EOPNOTSUPP;
}
errno_t sock_connect(socket_t, const sockaddr_in*, int) { return EOPNOTSUPP; }
errno_t sock_nonblock(socket_t, bool) { return EOPNOTSUPP; }
errno_t sock_send(socket_t, const void*, size_t, size_t* sent) {
  *sent = 0;
  return EOPNOTSUPP;
}
errno_t sock_receivembuf(socket_t, mbuf_t* out) {
  *out = nullptr;
  return EWOULDBLOCK;
}
void sock_close(socket_t) {}

}  // namespace platform::kern
