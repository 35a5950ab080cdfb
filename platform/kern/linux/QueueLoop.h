// One netfilter queue and the thread that hands its packets to the IPv4 filter.
#pragma once

#include <cstdint>
#include <thread>

#include "platform/kern/kern.h"

struct nfq_handle;
struct nfq_q_handle;
struct nfq_data;
struct nfgenmsg;

namespace platform::kern::linux_backend {

class QueueLoop {
 public:
  enum class Side { kOutput, kInput };
  QueueLoop(uint16_t number, Side side, const ipf_filter* filter);
  ~QueueLoop();
  QueueLoop(const QueueLoop&) = delete;
  QueueLoop& operator=(const QueueLoop&) = delete;

  // Binds the queue and starts the thread; an errno when the queue can't be bound.
  int start();
  // Joins the thread: no filter call runs after it returns.
  void stop();

  // The verdict for one packet: exposed so that tests hand it packets of any shape.
  struct Verdict {
    uint32_t verdict;        // NF_ACCEPT, NF_DROP, or NF_REPEAT for a flow left out from now on
    const uint8_t* payload;  // a replaced payload, or null
    uint32_t length;
  };
  // Called by the output filter while it decides a packet: the packet's flow is never the
  // filter's, so it goes on with the left-out mark, and the chain keeps its later packets out of
  // the queue (kLeftOutMark).
  static void leave_flow_out();
  static Verdict decide(Side side, const ipf_filter& filter, const uint8_t* packet, size_t len,
                        mbuf_t* holder);

 private:
  static int on_packet(nfq_q_handle* qh, nfgenmsg* msg, nfq_data* nfa, void* self);
  void loop();

  uint16_t number_;
  Side side_;
  ipf_filter filter_;
  nfq_handle* h_ = nullptr;
  nfq_q_handle* qh_ = nullptr;
  int wake_fd_ = -1;
  std::thread thread_;
  bool enobufs_logged_ = false;
};

}  // namespace platform::kern::linux_backend
