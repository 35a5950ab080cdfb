#include "Mazzle/MZTCPStack.h"

#include <netinet/in.h>

#include <cstring>

#include "Brevant/Packet.h"
#include "Mazzle/MZIPv4Packet.h"
#include "Mazzle/MZProxyServer.h"

namespace {

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

void write32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
void write16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
uint16_t read16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// Updates the one's-complement checksum at `field` for the bytes that changed from `before` to
// `after` (an even count), without summing the rest of the packet again.
void adjustChecksum(uint8_t* field, const uint8_t* before, const uint8_t* after, size_t n) {
  uint32_t sum = uint16_t(~read16(field));
  for (size_t i = 0; i + 1 < n; i += 2) {
    sum += uint16_t(~read16(before + i));
    sum += read16(after + i);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  write16(field, uint16_t(~sum));
}

}  // namespace

std::shared_ptr<MZTCPStack> MZTCPStack::stack() {
  static auto instance = std::make_shared<MZTCPStack>();
  return instance;
}

MZTCPStack::MZTCPStack(Clock clock, size_t maxFlows)
    : clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      maxFlows_(maxFlows == 0 ? 1 : maxFlows) {}

void MZTCPStack::setProxyServer(std::shared_ptr<MZProxyServer> server) {
  std::lock_guard lock(mutex_);
  server_ = std::move(server);
}

std::shared_ptr<MZProxyServer> MZTCPStack::proxyServer() const {
  std::lock_guard lock(mutex_);
  return server_;
}

void MZTCPStack::setListenPort(uint16_t port) {
  std::lock_guard lock(mutex_);
  listenPort_ = port;
}

void MZTCPStack::stop() {
  std::lock_guard lock(mutex_);
  flows_.clear();
  byFake_.clear();
}

size_t MZTCPStack::flowCount() const {
  std::lock_guard lock(mutex_);
  return flows_.size();
}

std::optional<MZTCPStack::Flow> MZTCPStack::flowForFake(uint32_t fakeIP,
                                                        uint16_t sourcePort) const {
  std::lock_guard lock(mutex_);
  auto it = byFake_.find({fakeIP, sourcePort});
  if (it == byFake_.end()) return std::nullopt;
  auto flow = flows_.find(it->second);
  if (flow == flows_.end()) return std::nullopt;
  return flow->second;
}

std::optional<MZTCPStack::Flow> MZTCPStack::acceptFlow(uint32_t fakeIP, uint16_t sourcePort) {
  std::lock_guard lock(mutex_);
  auto it = byFake_.find({fakeIP, sourcePort});
  if (it == byFake_.end()) return std::nullopt;
  auto flow = flows_.find(it->second);
  if (flow == flows_.end() || flow->second.relayEnded) return std::nullopt;
  flow->second.accepted = true;
  return flow->second;
}

void MZTCPStack::relayEnded(const Flow& ended) {
  std::lock_guard lock(mutex_);
  // By the whole connection: the fake source of an evicted flow may already name a new one.
  auto flow =
      flows_.find({ended.sourceIP, ended.sourcePort, ended.destinationIP, ended.destinationPort});
  if (flow == flows_.end() || flow->second.fakeIP != ended.fakeIP) return;
  flow->second.relayEnded = true;
  flow->second.lastSeen = clock_();
}

void MZTCPStack::setIdleTimeout(std::chrono::seconds limit) {
  std::lock_guard lock(mutex_);
  idleTimeout_ = limit;
}

void MZTCPStack::remove(std::map<ForwardKey, Flow>::iterator it) {
  byFake_.erase({it->second.fakeIP, it->second.sourcePort});
  flows_.erase(it);
}

void MZTCPStack::expire() {
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  for (auto it = flows_.begin(); it != flows_.end();) {
    const auto& f = it->second;
    auto next = std::next(it);
    std::optional<std::chrono::seconds> limit;
    if (f.relayEnded || (f.finFromClient && f.finFromServer)) {
      limit = kClosingTimeout;
    } else if (!f.accepted) {
      limit = idleTimeout_;
    }
    if (limit && now - f.lastSeen >= *limit) remove(it);
    it = next;
  }
}

std::optional<uint32_t> MZTCPStack::allocateFake(uint16_t sourcePort) {
  // 65534 host addresses; the first free one for this source port after the last handed out.
  for (uint32_t tries = 0; tries < 0xFFFE; ++tries) {
    uint32_t host = nextFake_;
    nextFake_ = nextFake_ >= 0xFFFE ? 1 : nextFake_ + 1;
    uint32_t fake = kFakeNetwork | host;
    if (!byFake_.count({fake, sourcePort})) return fake;
  }
  return std::nullopt;
}

bool MZTCPStack::translate(std::vector<uint8_t>& data) {
  size_t length = 0;
  if (!translate(std::span<uint8_t>(data), false, length)) return false;
  data.resize(length);
  return true;
}

bool MZTCPStack::translate(std::span<uint8_t> data, bool partialChecksum, size_t& length) {
  auto info = brevant::parse_ipv4(data);
  if (!info || info->protocol != IPPROTO_TCP || info->is_fragment() || !info->has_transport)
    return false;
  const size_t ihl = info->header_length;
  uint8_t* bytes = data.data();
  uint8_t* tcp = bytes + ihl;
  const uint8_t flags = tcp[13];
  const uint32_t src = info->src, dst = info->dst;
  const uint16_t sp = info->src_port, dp = info->dst_port;
  const auto now = clock_();
  // Addresses (IP bytes 12..19) and ports (TCP bytes 0..3) as they came, for the checksums.
  uint8_t before[12];
  std::memcpy(before, bytes + 12, 8);
  std::memcpy(before + 8, tcp, 4);

  {
    std::lock_guard lock(mutex_);
    if (listenPort_ == 0) return false;
    if ((dst & 0xFFFF0000u) == kFakeNetwork && sp == listenPort_) {
      // The listener answering: S:L -> F:sp becomes D:dp -> S:sp.
      auto fake = byFake_.find({dst, dp});
      if (fake == byFake_.end()) return false;
      auto it = flows_.find(fake->second);
      if (it == flows_.end() || it->second.sourceIP != src) return false;
      Flow& f = it->second;
      write32(bytes + 12, f.destinationIP);
      write32(bytes + 16, f.sourceIP);
      write16(tcp, f.destinationPort);
      write16(tcp + 2, f.sourcePort);
      f.lastSeen = now;
      if (flags & kFin) f.finFromServer = true;
      if (flags & kRst) remove(it);
    } else {
      ForwardKey key{src, sp, dst, dp};
      auto it = flows_.find(key);
      if (it == flows_.end()) {
        // Only a bare SYN opens a flow; stray segments of unknown flows are not ours.
        if ((flags & (kSyn | kAck | kRst)) != kSyn) return false;
        if (flows_.size() >= maxFlows_) {
          // Full: the least recently seen flow makes room.
          auto oldest = flows_.begin();
          for (auto i = flows_.begin(); i != flows_.end(); ++i)
            if (i->second.lastSeen < oldest->second.lastSeen) oldest = i;
          remove(oldest);
        }
        auto fake = allocateFake(sp);
        if (!fake) return false;
        it = flows_.emplace(key, Flow{src, dst, *fake, sp, dp, now}).first;
        byFake_[{*fake, sp}] = key;
      }
      Flow& f = it->second;
      write32(bytes + 12, f.fakeIP);
      write32(bytes + 16, f.sourceIP);
      write16(tcp + 2, listenPort_);
      f.lastSeen = now;
      if (flags & kFin) f.finFromClient = true;
      if (flags & kRst) remove(it);
    }
  }
  // Bytes past the IP total length are not part of the packet.
  length = info->total_length;
  uint8_t after[12];
  std::memcpy(after, bytes + 12, 8);
  std::memcpy(after + 8, tcp, 4);
  adjustChecksum(bytes + 10, before, after, 8);
  if (partialChecksum) {
    // The field holds the pseudo-header's sum, not yet complemented: only the addresses are in
    // it; the ports are summed with the segment when the checksum is finished.
    uint32_t sum = read16(tcp + 16);
    for (size_t i = 0; i < 8; i += 2) {
      sum += uint16_t(~read16(before + i));
      sum += read16(after + i);
    }
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    write16(tcp + 16, uint16_t(sum));
  } else {
    adjustChecksum(tcp + 16, before, after, 12);
  }
  return true;
}

MZIPStackProtocol::WholeOffer MZTCPStack::offerWhole(std::span<uint8_t> packet,
                                                     const platform::netext::Offload& offload) {
  const size_t ihl = size_t(packet[0] & 0x0F) * 4;
  // Only a checksum left where a TCP checksum is can be carried on partial.
  if (!offload.needsChecksum() || offload.checksumStart != ihl || offload.checksumOffset != 16 ||
      !hasWholeOutput())
    return WholeOffer::kSegments;
  expireIfDue();
  size_t length = 0;
  if (!translate(packet, true, length)) return WholeOffer::kNotMine;
  outputWhole(packet.first(length), offload);
  return WholeOffer::kTaken;
}

void MZTCPStack::expireIfDue() {
  const auto now = clock_();
  bool due;
  {
    std::lock_guard lock(mutex_);
    due = now - lastExpire_ >= std::chrono::seconds(1);
    if (due) lastExpire_ = now;
  }
  if (due) expire();
}

bool MZTCPStack::inputPacket(std::span<const uint8_t> packet, int version) {
  if (version != 4 || packet.size() < 20 || packet[9] != IPPROTO_TCP) return false;
  expireIfDue();
  std::vector<uint8_t> bytes(packet.begin(), packet.end());
  if (!translate(bytes)) return false;
  output(std::move(bytes), 2);
  return true;
}
