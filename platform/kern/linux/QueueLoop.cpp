#include "QueueLoop.h"

#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Backend.h"

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

namespace platform::kern::linux_backend {

namespace {
thread_local bool t_leave_out = false;
constexpr uint32_t kCopyRange = 0xffff;
constexpr uint32_t kQueueLength = 4096;
constexpr int kReceiveBuffer = 8 * 1024 * 1024;
constexpr size_t kReadBatch = 32;
constexpr int kReadRounds = 4;

void log_text(const char* text, int value) {
  char line[160];
  std::snprintf(line, sizeof line, "tamseld %s %d\n", text, value);
  kern_log_line(line);
}
}  // namespace

PendingSet::Added PendingSet::add(const FlowKey& key, Packet packet) {
  auto t = tuple(key);
  auto it = flows_.find(t);
  size_t held = it == flows_.end() ? 0 : it->second.size();
  if (total_ >= kTotal || held >= kPerFlow) return Added::kFull;
  if (it == flows_.end()) it = flows_.emplace(t, std::vector<Packet>{}).first;
  it->second.push_back(std::move(packet));
  ++total_;
  return held == 0 ? Added::kFirst : Added::kBehind;
}

std::vector<PendingSet::Packet> PendingSet::release(const FlowKey& key) {
  auto it = flows_.find(tuple(key));
  if (it == flows_.end()) return {};
  std::vector<Packet> out = std::move(it->second);
  flows_.erase(it);
  total_ -= out.size();
  return out;
}

std::vector<PendingSet::Packet> PendingSet::release_all() {
  std::vector<Packet> out;
  for (auto& [key, packets] : flows_)
    for (auto& p : packets) out.push_back(std::move(p));
  flows_.clear();
  total_ = 0;
  return out;
}

QueueLoop::QueueLoop(uint16_t number, Side side, const ipf_filter* filter, OwnerLookup lookup)
    : number_(number), side_(side), filter_(*filter), lookup_(lookup) {}

QueueLoop::~QueueLoop() { stop(); }

void QueueLoop::leave_flow_out() { t_leave_out = true; }

QueueLoop::Verdict QueueLoop::decide(Side side, const ipf_filter& filter, const uint8_t* packet,
                                     size_t len, mbuf_t* holder) {
  *holder = nullptr;
  Verdict accept{NF_ACCEPT, nullptr, 0};
  // Fail open: a packet the filter can't be given goes on unchanged.
  mbuf_t m = nullptr;
  if (len == 0 || mbuf_allocpacket(len, &m) != 0) return accept;
  std::memcpy(mbuf_data(m), packet, len);
  errno_t r;
  t_leave_out = false;
  if (side == Side::kOutput) {
    r = filter.ipf_output ? filter.ipf_output(filter.cookie, &m) : 0;
  } else {
    // The filter reads the transport header at `offset`; a packet too short for an IP header
    // still gets a verdict, with an offset that points past its end.
    int offset = len >= 20 ? (packet[0] & 0x0f) * 4 : static_cast<int>(len);
    uint8_t protocol = len >= 20 ? packet[9] : 0;
    r = filter.ipf_input ? filter.ipf_input(filter.cookie, &m, offset, protocol) : 0;
  }
  if (r == EJUSTRETURN) {
    // Taken over by the filter: the original must not travel on (answers are never taken).
    return side == Side::kOutput ? Verdict{NF_DROP, nullptr, 0} : accept;
  }
  if (r != 0 && side == Side::kOutput) {
    mbuf_freem(m);
    return Verdict{NF_DROP, nullptr, 0};
  }
  if (mbuf_modified(m)) {
    *holder = m;
    return Verdict{NF_ACCEPT, mbuf_data(m), static_cast<uint32_t>(mbuf_len(m))};
  }
  mbuf_freem(m);
  // Unchanged and never the filter's: through the chain once more, which marks its connection.
  if (side == Side::kOutput && r == 0 && t_leave_out) return Verdict{NF_REPEAT, nullptr, 0};
  return accept;
}

void QueueLoop::put_verdict(uint32_t id, uint32_t verdict, bool with_mark, uint32_t mark) {
  // nlmsghdr, nfgenmsg, the verdict header attribute and, with a mark, the mark attribute: every
  // part a multiple of 4 bytes, so none needs padding.
  struct Attr {
    uint16_t len;
    uint16_t type;
  };
  constexpr size_t kHead = sizeof(nlmsghdr) + sizeof(nfgenmsg);
  constexpr size_t kVerdict = sizeof(Attr) + sizeof(nfqnl_msg_verdict_hdr);
  constexpr size_t kMark = sizeof(Attr) + sizeof(uint32_t);
  static_assert(kHead % 4 == 0 && kVerdict % 4 == 0 && kMark % 4 == 0);
  const size_t len = kHead + kVerdict + (with_mark ? kMark : 0);
  const size_t at = verdicts_.size();
  verdicts_.resize(at + len);
  uint8_t* p = verdicts_.data() + at;
  nlmsghdr nh{};
  nh.nlmsg_len = static_cast<uint32_t>(len);
  nh.nlmsg_type = static_cast<uint16_t>((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_VERDICT);
  nh.nlmsg_flags = NLM_F_REQUEST;
  std::memcpy(p, &nh, sizeof nh);
  nfgenmsg g{};
  g.nfgen_family = AF_UNSPEC;
  g.version = NFNETLINK_V0;
  g.res_id = htons(number_);
  std::memcpy(p + sizeof nh, &g, sizeof g);
  Attr a{static_cast<uint16_t>(kVerdict), NFQA_VERDICT_HDR};
  nfqnl_msg_verdict_hdr vh{htonl(verdict), htonl(id)};
  std::memcpy(p + kHead, &a, sizeof a);
  std::memcpy(p + kHead + sizeof a, &vh, sizeof vh);
  if (with_mark) {
    Attr m{static_cast<uint16_t>(kMark), NFQA_MARK};
    uint32_t value = htonl(mark);
    std::memcpy(p + kHead + kVerdict, &m, sizeof m);
    std::memcpy(p + kHead + kVerdict + sizeof m, &value, sizeof value);
  }
  if (verdicts_.size() >= kVerdictBytes) flush_verdicts();
}

void QueueLoop::flush_verdicts() {
  if (verdicts_.empty()) return;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  // The kernel handles the messages of one write in turn. A failed write is logged once; its
  // packets wait as after a lost single verdict.
  if (::sendto(nfq_fd(h_), verdicts_.data(), verdicts_.size(), 0,
               reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0 &&
      !verdict_error_logged_) {
    verdict_error_logged_ = true;
    log_text("sending verdicts failed on queue", number_);
  }
  verdicts_.clear();
}

int QueueLoop::verdict(uint32_t id, uint32_t mark, const uint8_t* packet, size_t len) {
  mbuf_t holder = nullptr;
  Verdict v = decide(side_, filter_, packet, len, &holder);
  int rc = 0;
  if (v.verdict == NF_REPEAT) {
    // The chain's first rules move the mark onto the connection and take it off the packet. A
    // packet that comes back with the mark still on it found no such rules: it goes on.
    if (mark & kLeftOutMark)
      put_verdict(id, NF_ACCEPT, false, 0);
    else
      put_verdict(id, NF_REPEAT, true, mark | kLeftOutMark);
  } else if (v.payload) {
    flush_verdicts();  // in order
    rc = nfq_set_verdict(qh_, id, v.verdict, v.length, v.payload);
  } else {
    put_verdict(id, v.verdict, false, 0);
  }
  if (holder) mbuf_freem(holder);
  return rc;
}

int QueueLoop::on_packet(nfq_q_handle*, nfgenmsg*, nfq_data* nfa, void* data) {
  auto* self = static_cast<QueueLoop*>(data);
  nfqnl_msg_packet_hdr* ph = nfq_get_msg_packet_hdr(nfa);
  if (!ph) return 0;
  uint32_t id = ntohl(ph->packet_id);
  unsigned char* payload = nullptr;
  int len = nfq_get_payload(nfa, &payload);
  if (len <= 0 || !payload) {
    self->put_verdict(id, NF_ACCEPT, false, 0);
    return 0;
  }
  const size_t n = static_cast<size_t>(len);
  uint32_t mark = nfq_get_nfmark(nfa);
  FlowKey key{};
  if (self->lookup_.key && self->lookup_.key(payload, n, &key)) {
    // Behind a held packet of its flow, or the first of a flow whose socket is unknown: held,
    // so that looking for an owner never delays another flow's verdicts.
    bool hold = self->pending_.holds(key) || !self->lookup_.known(key);
    if (hold) {
      PendingSet::Added added =
          self->pending_.add(key, {id, mark, std::vector<uint8_t>(payload, payload + n)});
      if (added == PendingSet::Added::kFull) {
        if (!self->full_logged_) {
          self->full_logged_ = true;
          log_text("packets waiting for an owner lookup at their bound; passed unfiltered, queue",
                   self->number_);
        }
        self->put_verdict(id, NF_ACCEPT, false, 0);
        return 0;
      }
      if (added == PendingSet::Added::kFirst) {
        std::lock_guard g(self->jobs_m_);
        self->jobs_.emplace_back(key, std::vector<uint8_t>(payload, payload + n));
        self->jobs_cv_.notify_one();
      }
      return 0;
    }
  }
  return self->verdict(id, mark, payload, n);
}

void QueueLoop::lookup_worker() {
  for (;;) {
    std::pair<FlowKey, std::vector<uint8_t>> job;
    {
      std::unique_lock g(jobs_m_);
      jobs_cv_.wait(g, [&] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    lookup_.resolve(job.second.data(), job.second.size());
    {
      std::lock_guard g(jobs_m_);
      done_.push_back(job.first);
    }
    uint64_t one = 1;
    if (::write(done_fd_, &one, sizeof one) < 0) {
    }
  }
}

void QueueLoop::release_resolved() {
  uint64_t count;
  if (::read(done_fd_, &count, sizeof count) != sizeof count) return;
  std::vector<FlowKey> done;
  {
    std::lock_guard g(jobs_m_);
    done.swap(done_);
  }
  for (const FlowKey& key : done)
    for (auto& p : pending_.release(key)) verdict(p.id, p.mark, p.bytes.data(), p.bytes.size());
}

int QueueLoop::start() {
  h_ = nfq_open();
  if (!h_) return errno ? errno : EIO;
  qh_ = nfq_create_queue(h_, number_, &QueueLoop::on_packet, this);
  if (!qh_) {
    int e = errno ? errno : EBUSY;
    nfq_close(h_);
    h_ = nullptr;
    return e;
  }
  // Whole packets, failing open when the queue is full; no GSO flag, so every packet arrives
  // segmented with its checksums complete.
  if (nfq_set_mode(qh_, NFQNL_COPY_PACKET, kCopyRange) < 0 ||
      nfq_set_queue_flags(qh_, NFQA_CFG_F_FAIL_OPEN, NFQA_CFG_F_FAIL_OPEN) < 0 ||
      nfq_set_queue_maxlen(qh_, kQueueLength) < 0) {
    int e = errno ? errno : EIO;
    nfq_destroy_queue(qh_);
    nfq_close(h_);
    qh_ = nullptr;
    h_ = nullptr;
    return e;
  }
  nfnl_rcvbufsiz(nfq_nfnlh(h_), kReceiveBuffer);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
  if (lookup_.key) {
    done_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    stopping_ = false;
    worker_ = std::thread([this] { lookup_worker(); });
  }
  thread_ = std::thread([this] { loop(); });
  return 0;
}

void QueueLoop::loop() {
  // Several messages per read: each holds one packet, at most kCopyRange bytes of it.
  constexpr size_t kSlot = kCopyRange + 4096;
  std::vector<char> buf(kReadBatch * kSlot);
  mmsghdr msgs[kReadBatch];
  iovec iov[kReadBatch];
  int fd = nfq_fd(h_);
  for (;;) {
    // Without lookups the last descriptor is -1, which poll skips.
    pollfd p[3] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}, {done_fd_, POLLIN, 0}};
    if (::poll(p, 3, record_batch_wait_ms()) < 0) {
      if (errno == EINTR) continue;
      record_batch_flush();
      return;
    }
    if (p[1].revents & POLLIN) {
      record_batch_flush();
      return;
    }
    // Records of these packets are written after their verdicts.
    RecordBatchScope batch;
    if (p[2].revents & POLLIN) release_resolved();
    // A few full reads at most, then the other descriptors get their turn.
    for (int round = 0; (p[0].revents & POLLIN) && round < kReadRounds; ++round) {
      for (size_t i = 0; i < kReadBatch; ++i) {
        iov[i] = {buf.data() + i * kSlot, kSlot};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      int n = ::recvmmsg(fd, msgs, kReadBatch, MSG_DONTWAIT, nullptr);
      if (n < 0) {
        // The kernel dropped messages while we were slow: those packets were let through.
        if (errno == ENOBUFS) {
          if (!enobufs_logged_) {
            enobufs_logged_ = true;
            log_text("queue overrun (packets passed unfiltered) on queue", number_);
          }
          continue;
        }
        break;
      }
      for (int i = 0; i < n; ++i)
        nfq_handle_packet(h_, buf.data() + static_cast<size_t>(i) * kSlot,
                          static_cast<int>(msgs[i].msg_len));
      if (static_cast<size_t>(n) < kReadBatch) break;
    }
    flush_verdicts();
  }
}

void QueueLoop::stop() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) < 0) {
    }
    thread_.join();
  }
  if (worker_.joinable()) {
    {
      std::lock_guard g(jobs_m_);
      stopping_ = true;
      jobs_cv_.notify_all();
    }
    worker_.join();
  }
  // What still waited goes on unfiltered: the filter is leaving.
  for (auto& p : pending_.release_all())
    if (qh_) nfq_set_verdict(qh_, p.id, NF_ACCEPT, 0, nullptr);
  jobs_.clear();
  done_.clear();
  if (done_fd_ >= 0) ::close(done_fd_);
  done_fd_ = -1;
  if (qh_) nfq_destroy_queue(qh_);
  if (h_) nfq_close(h_);
  qh_ = nullptr;
  h_ = nullptr;
  if (wake_fd_ >= 0) ::close(wake_fd_);
  wake_fd_ = -1;
}

}  // namespace platform::kern::linux_backend
