// One netfilter queue and the thread that hands its packets to the IPv4 filter.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "Owners.h"
#include "platform/kern/kern.h"

struct nfq_handle;
struct nfq_q_handle;
struct nfq_data;
struct nfgenmsg;

namespace platform::kern::linux_backend {

// Packets held while the socket of their flow is looked up, released in the order they came.
// Bounded per flow and in all: a packet beyond either bound is not held (the caller lets it go).
class PendingSet {
 public:
  static constexpr size_t kPerFlow = 64;
  static constexpr size_t kTotal = 2048;
  struct Packet {
    uint32_t id = 0;
    uint32_t mark = 0;
    std::vector<uint8_t> bytes;
  };
  enum class Added { kFirst, kBehind, kFull };  // kFirst: the flow had nothing held before
  Added add(const FlowKey& key, Packet packet);
  bool holds(const FlowKey& key) const { return flows_.count(tuple(key)) != 0; }
  std::vector<Packet> release(const FlowKey& key);
  std::vector<Packet> release_all();
  size_t size() const { return total_; }

 private:
  using Tuple = std::tuple<uint8_t, uint32_t, uint16_t, uint32_t, uint16_t>;
  static Tuple tuple(const FlowKey& k) {
    return {k.protocol, k.local_addr, k.local_port, k.remote_addr, k.remote_port};
  }
  std::map<Tuple, std::vector<Packet>> flows_;
  size_t total_ = 0;
};

// How the output queue learns which packets wait for an owner lookup, and runs it.
struct OwnerLookup {
  // The flow of a packet that may wait for a lookup (false: decided at once, in turn).
  bool (*key)(const uint8_t* packet, size_t len, FlowKey* key) = nullptr;
  // Whether the flow's socket is known: else its packets are held until `resolve` ran for the
  // first of them (on the worker thread).
  bool (*known)(const FlowKey& key) = nullptr;
  void (*resolve)(const uint8_t* packet, size_t len) = nullptr;
};

class QueueLoop {
 public:
  enum class Side { kOutput, kInput };
  QueueLoop(uint16_t number, Side side, const ipf_filter* filter, OwnerLookup lookup = {});
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
  // Decides one packet and sends its verdict (queue thread).
  int verdict(uint32_t id, uint32_t mark, const uint8_t* packet, size_t len);
  // Verdicts without a payload are collected and sent together, several netlink messages in one
  // write, once the packets read in one go are decided; one with a payload sends those first.
  void put_verdict(uint32_t id, uint32_t verdict, bool with_mark, uint32_t mark);
  void flush_verdicts();
  void lookup_worker();
  void release_resolved();

  uint16_t number_;
  Side side_;
  ipf_filter filter_;
  nfq_handle* h_ = nullptr;
  nfq_q_handle* qh_ = nullptr;
  int wake_fd_ = -1;
  std::thread thread_;
  bool enobufs_logged_ = false;
  std::vector<uint8_t> verdicts_;
  static constexpr size_t kVerdictBytes = 16 * 1024;
  bool verdict_error_logged_ = false;

  // Owner lookups off the queue thread: the held packets are the queue thread's alone; jobs and
  // finished flows pass under `jobs_m_`, a finished one signalled on `done_fd_`.
  OwnerLookup lookup_;
  PendingSet pending_;
  bool full_logged_ = false;
  std::mutex jobs_m_;
  std::condition_variable jobs_cv_;
  std::deque<std::pair<FlowKey, std::vector<uint8_t>>> jobs_;
  std::vector<FlowKey> done_;
  bool stopping_ = false;
  int done_fd_ = -1;
  std::thread worker_;
};

}  // namespace platform::kern::linux_backend
