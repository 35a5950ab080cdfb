// What the Linux back end reads from outside the daemon: queued packets of any shape (verdict and
// the socket filters' flow parse), /proc/net socket tables and sock_diag answers.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Flows.h"
#include "Owners.h"
#include "QueueLoop.h"
#include "platform/kern/kern.h"

namespace k = platform::kern;
namespace lb = platform::kern::linux_backend;

namespace {

// Reads every byte it is told it may, so that a wrong length or offset shows as an overread.
volatile uint8_t g_sink;
k::errno_t touch_output(void*, k::mbuf_t* m) {
  for (size_t i = 0; i < k::mbuf_len(*m); ++i) g_sink = g_sink ^ k::mbuf_data(*m)[i];
  if (k::mbuf_len(*m) > 4 && k::mbuf_data(*m)[4] == 0x7f) {
    k::mbuf_data(*m)[0] ^= 1;
    k::mbuf_set_modified(*m);
  }
  return 0;
}
k::errno_t touch_input(void*, k::mbuf_t* m, int offset, uint8_t) {
  size_t len = k::mbuf_len(*m);
  for (size_t i = static_cast<size_t>(offset); i < len; ++i) g_sink = g_sink ^ k::mbuf_data(*m)[i];
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* body = data + 1;
  size_t n = size - 1;
  if (data[0] & 1) {
    std::string table(reinterpret_cast<const char*>(body), n);
    lb::proc_net_inode_for_port(table, static_cast<uint16_t>(data[0] << 8 | (n & 0xff)));
    std::vector<uid_t> uids;
    lb::proc_net_inodes_for_port(table, IPPROTO_ICMP, &uids);
    lb::proc_net_inodes(table);
    // The same bytes as /proc/<pid>/cmdline (exact size) and as a status text.
    std::vector<char> cmdline(body, body + n);
    lb::argv0_name(cmdline.data(), cmdline.size());
    uid_t real, effective;
    lb::status_uids(table.c_str(), &real, &effective);
    return 0;
  }
  if (data[0] & 2) {
    std::vector<char> answer(body, body + n);  // exact size: an overread shows
    lb::TcpTimes t;
    lb::tcp_info_from_answer(answer.data(), answer.size(), &t);
    lb::DiagSocket d;
    lb::parse_diag_answer(answer.data(), answer.size(), 0, &d);
    return 0;
  }
  if (data[0] & 4) {
    // A whole netlink datagram: dump answers and destroy events.
    std::vector<char> datagram(body, body + n);
    uint64_t sum = 0;
    lb::parse_diag_datagram(datagram.data(), datagram.size(), data[0] & 8 ? IPPROTO_UDP : 0,
                            [&](const lb::DiagSocket& d) { sum += d.cookie + d.bytes_sent; });
    g_sink = g_sink ^ static_cast<uint8_t>(sum);
    return 0;
  }
  // No socket filter is registered here: the flow parse runs, no lookup follows.
  lb::flows_on_output(body, n);
  k::ipf_filter f{nullptr, "fuzz", touch_input, touch_output, nullptr};
  for (auto side : {lb::QueueLoop::Side::kOutput, lb::QueueLoop::Side::kInput}) {
    k::mbuf_t holder = nullptr;
    auto v = lb::QueueLoop::decide(side, f, body, n, &holder);
    if (v.payload)
      for (uint32_t i = 0; i < v.length; ++i) g_sink = g_sink ^ v.payload[i];
    if (holder) k::mbuf_freem(holder);
  }
  return 0;
}
