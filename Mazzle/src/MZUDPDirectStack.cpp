#include "Mazzle/MZUDPDirectStack.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <vector>

#include "Brevant/Packet.h"
#include "Mazzle/MZIPv4Packet.h"
#include "Mazzle/MZQueueFactory.h"
#include "Mazzle/MZRawSocketFactory.h"
#include "ReadBatch.h"

struct MZUDPDirectStack::Flow {
  explicit Flow(asio::io_context& io) : socket(io) {}
  Key key;
  uint32_t sourceIP = 0;
  // Reads run on the kit's loop; sends come from the packet thread. The mutex keeps the
  // descriptor from being closed (and its number reused) under a send.
  asio::ip::udp::socket socket;
  std::mutex fdMutex;
  std::chrono::steady_clock::time_point lastSeen;
};

namespace {

// Reads run on one loop only, so every socket of it shares one set of buffers.
using mazzle::ReadBatch;
constexpr unsigned kReadBatch = ReadBatch::kReadBatch;

}  // namespace

MZUDPDirectStack::MZUDPDirectStack(Clock clock, size_t maxFlows)
    : clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      maxFlows_(maxFlows == 0 ? 1 : maxFlows) {}

MZUDPDirectStack::~MZUDPDirectStack() { stop(); }

size_t MZUDPDirectStack::flowCount() const {
  std::lock_guard lock(mutex_);
  return flows_.size();
}

void MZUDPDirectStack::close(std::shared_ptr<Flow> flow) {
  // Sockets are touched on the loop only.
  MZQueueFactory::async([flow] {
    asio::error_code ec;
    std::lock_guard lock(flow->fdMutex);
    flow->socket.close(ec);
  });
}

void MZUDPDirectStack::expire() {
  std::vector<std::shared_ptr<Flow>> gone;
  {
    std::lock_guard lock(mutex_);
    const auto now = clock_();
    for (auto it = flows_.begin(); it != flows_.end();) {
      if (now - it->second->lastSeen >= kIdleTimeout) {
        gone.push_back(it->second);
        it = flows_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& f : gone) close(f);
}

void MZUDPDirectStack::stop() {
  std::map<Key, std::shared_ptr<Flow>> gone;
  {
    std::lock_guard lock(mutex_);
    gone.swap(flows_);
  }
  for (auto& [key, f] : gone) close(f);
}

bool MZUDPDirectStack::inputPacket(std::span<const uint8_t> data, int version) {
  if (version != 4 || data.size() < 20 || data[9] != IPPROTO_UDP) return false;
  auto info = brevant::parse_ipv4(data);
  // Fragments are the packet proxy's; a lone fragment has no ports to key on.
  if (!info || info->is_fragment() || !info->has_transport) return false;
  const auto now = clock_();
  bool due;
  {
    std::lock_guard lock(mutex_);
    due = now - lastExpire_ >= std::chrono::seconds(1);
    if (due) lastExpire_ = now;
  }
  if (due) expire();
  const Key key{info->src_port, info->dst, info->dst_port};
  std::shared_ptr<Flow> flow;
  bool fresh = false;
  {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(key);
    if (it != flows_.end()) {
      flow = it->second;
    } else {
      if (flows_.size() >= maxFlows_) {
        auto oldest = flows_.begin();
        for (auto i = flows_.begin(); i != flows_.end(); ++i)
          if (i->second->lastSeen < oldest->second->lastSeen) oldest = i;
        close(oldest->second);
        flows_.erase(oldest);
      }
      int fd = MZRawSocketFactory::sharedInstance().makeUDPSocket(AF_INET);
      if (fd < 0) return true;  // taken and dropped: nothing else would send it
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_addr.s_addr = htonl(info->dst);
      to.sin_port = htons(info->dst_port);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return true;
      }
      flow = std::make_shared<Flow>(MZQueueFactory::queue());
      flow->key = key;
      asio::error_code ec;
      flow->socket.assign(asio::ip::udp::v4(), fd, ec);
      if (ec) {
        ::close(fd);
        return true;
      }
      flows_.emplace(key, flow);
      fresh = true;
    }
    flow->sourceIP = info->src;
    flow->lastSeen = now;
  }
  const size_t at = info->payload_offset + 8;
  // parse_ipv4 keeps the UDP length within the packet.
  const size_t size = info->udp_length - 8;
  {
    std::lock_guard lock(flow->fdMutex);
    if (flow->socket.is_open() &&
        ::send(flow->socket.native_handle(), data.data() + at, size, MSG_DONTWAIT) < 0)
      ++dropped_;
  }
  if (fresh) {
    MZQueueFactory::async([self = weak_from_this(), flow] {
      if (auto stack = self.lock()) stack->receive(flow);
    });
  }
  return true;
}

void MZUDPDirectStack::receive(std::shared_ptr<Flow> flow) {
  std::weak_ptr<MZUDPDirectStack> self = weak_from_this();
  flow->socket.async_wait(asio::socket_base::wait_read, [self, flow](asio::error_code ec) {
    // Cancelled or closed: the flow ends here. Anything else (a refusal reported by ICMP) is
    // read off the socket and reading goes on.
    if (ec == asio::error::operation_aborted || !flow->socket.is_open()) return;
    auto stack = self.lock();
    if (!stack) return;
    if (!ec) stack->drain(*flow);
    stack->receive(flow);
  });
}

void MZUDPDirectStack::drain(Flow& flow) {
  thread_local ReadBatch batch;
  // A few batches at most, so that one busy flow leaves the loop to the others.
  for (int round = 0; round < 4; ++round) {
    int n = ::recvmmsg(flow.socket.native_handle(), batch.msgs, kReadBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) return;
    uint32_t client;
    {
      std::lock_guard lock(mutex_);
      flow.lastSeen = clock_();
      client = flow.sourceIP;
    }
    auto [sp, dst, dp] = flow.key;
    for (int i = 0; i < n; ++i) {
      if (batch.msgs[i].msg_hdr.msg_flags & MSG_TRUNC) continue;
      auto payload = std::span<const uint8_t>(static_cast<const uint8_t*>(batch.iov[i].iov_base),
                                              batch.msgs[i].msg_len);
      output(MZIPv4Packet::buildUDP(dst, dp, client, sp, payload), 2);
    }
    if (n < static_cast<int>(kReadBatch)) return;
  }
}
