#include "standin/relay/Relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Brevant/Packet.h"
#include "Galvent/Tunnel/Base/Q5Protocol.h"
#include "Mazzle/MZHelper.h"
#include "Mazzle/MZIPv4Packet.h"
#include "PacketNat.h"
#include "Tovra/Codec/Base64.h"
#include "TunDevice.h"

namespace standin::relay {

namespace {
using Bytes = std::vector<uint8_t>;
using SteadyTime = std::chrono::steady_clock::time_point;

std::string addrText(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof(ip));
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

std::string key(const std::string& ip, uint16_t port) { return ip + ":" + std::to_string(port); }

void fixIPChecksum(Bytes& p) {
  size_t ihl = static_cast<size_t>(p[0] & 0x0F) * 4;
  p[10] = p[11] = 0;
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < ihl; i += 2) sum += static_cast<uint32_t>((p[i] << 8) | p[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  uint16_t c = static_cast<uint16_t>(~sum);
  p[10] = static_cast<uint8_t>(c >> 8);
  p[11] = static_cast<uint8_t>(c);
}

struct FlowKey {
  uint32_t clientIP;
  uint16_t clientPort;
  uint32_t src, dst;
  uint16_t srcPort, dstPort;
  auto operator<=>(const FlowKey&) const = default;
};
}  // namespace

struct Relay::Impl {
  struct Endpoint {
    int fd = -1;
    std::string ip;
    uint16_t port = 0;
    Switches sw;
  };
  struct Flow {
    int fd = -1;
    std::string endpoint;  // "ip:port" of the pair the client used
    sockaddr_in client{};
    uint32_t src = 0, dst = 0;
    uint16_t srcPort = 0, dstPort = 0;
    SteadyTime lastSeen;
    FlowKey key;
  };
  struct Pending {
    int fd;
    sockaddr_in to;
    Bytes bytes;
    std::string local;
  };

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<Record> records;
  std::ofstream recordFile;
  std::map<std::string, Endpoint> endpoints;  // by "ip:port"
  struct DetectAnswer {
    DetectFigures figures;
    std::optional<std::string> body;  // verbatim, instead of the figures
  };
  // By ("ip" or "ip:port", NAT text or "*").
  std::map<std::pair<std::string, std::string>, DetectAnswer> figures;
  size_t mtu = 0;

  // Flows idle this long are forgotten and their sockets closed.
  static constexpr std::chrono::seconds kFlowIdle{60};
  // Tags of the epoll events; the rest of the word is the descriptor.
  static constexpr uint64_t kTagWake = 1, kTagEndpoint = 2, kTagFlow = 3, kTagTun = 4;

  // Loop thread only.
  std::map<FlowKey, int> flowByKey;
  std::map<int, Flow> flows;  // by socket
  SteadyTime lastExpire{};
  std::multimap<SteadyTime, Pending> later;
  MZIPv4Packet::Reassembler reassembler;

  // TUN mode: set once under the mutex; the table is used by the loop thread only.
  std::unique_ptr<TunDevice> tun;
  std::unique_ptr<NatTable> nat;

  // Answers of one round of the loop, sent together at its end (loop thread only).
  static constexpr int kUdpSegment = 103;  // UDP_SEGMENT
  bool holding = false;
  bool segmentedSends = true;
  std::vector<Pending> held;

  int wakeFd = -1;
  int epollFd = -1;
  bool keepRecords = true;
  bool stopping = false;
  std::thread thread;

  void wake() {
    uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof(one)) < 0) {
    }
  }

  void watch(int fd, uint64_t tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag << 32 | static_cast<uint32_t>(fd);
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
  }

  bool recording() {
    std::lock_guard lock(mutex);
    return keepRecords || recordFile.is_open();
  }

  // Records one frame, when records are kept or written; nothing is built otherwise.
  void note(bool incoming, const Endpoint& ep, const sockaddr_in& peer,
            std::span<const uint8_t> data, std::string text) {
    if (recording()) record(makeRecord(incoming, ep, peer, data, std::move(text)));
  }

  void record(Record r) {
    r.timeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count();
    std::lock_guard lock(mutex);
    if (!keepRecords) {
      if (recordFile.is_open()) recordFile << recordJSON(r) << "\n" << std::flush;
      return;
    }
    if (recordFile.is_open()) recordFile << recordJSON(r) << "\n" << std::flush;
    records.push_back(std::move(r));
    changed.notify_all();
  }

  static Record makeRecord(bool incoming, const Endpoint& ep, const sockaddr_in& peer,
                           std::span<const uint8_t> data, std::string note) {
    Record r;
    r.incoming = incoming;
    r.local = key(ep.ip, ep.port);
    r.peer = addrText(peer);
    r.size = data.size();
    if (data.size() >= Q5Protocol::kHeaderSize) {
      r.lengthField = Q5Protocol::loadU32(data.data());
      r.type = Q5Protocol::loadU32(data.data() + 4);
      r.body.assign(data.begin() + Q5Protocol::kHeaderSize, data.end());
      std::span<const uint8_t> inner;
      if (r.type == Q5Protocol::kIPPacket && r.body.size() >= Q5Protocol::kIPPacketHeaderSize) {
        r.header = ipPacketHeaderOf(r.body);
        inner = std::span<const uint8_t>(r.body).subspan(Q5Protocol::kIPPacketHeaderSize);
      } else if (r.type == Q5Protocol::kIPPacketAnswer) {
        inner = r.body;
      }
      if (!inner.empty()) {
        if (auto p = MZIPv4Packet::packetWithData(inner, r.type == Q5Protocol::kIPPacket))
          r.inner = p->description();
      }
    } else {
      r.body.assign(data.begin(), data.end());
    }
    r.note = std::move(note);
    return r;
  }

  // Applies the pair's switches to an answer frame and sends it now or later.
  void answer(const Endpoint& ep, const sockaddr_in& to, Bytes frame, const std::string& what) {
    const Switches& sw = ep.sw;
    if (sw.silent) return;
    if (sw.garbage) {
      frame = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    } else {
      if (sw.wrongType && frame.size() >= 8) Q5Protocol::storeU32(frame.data() + 4, 999);
      if (sw.wrongLength && frame.size() >= 8)
        Q5Protocol::storeU32(frame.data(), static_cast<uint32_t>(frame.size() + 1));
    }
    for (int i = 0; i < std::max(1, sw.copies); ++i) {
      note(false, ep, to, frame, what);
      if (sw.delay.count() > 0) {
        later.emplace(std::chrono::steady_clock::now() + sw.delay,
                      Pending{ep.fd, to, frame, key(ep.ip, ep.port)});
        continue;
      }
      if (holding) {
        held.push_back(Pending{ep.fd, to, frame, {}});
        continue;
      }
      ::sendto(ep.fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof(to));
    }
  }

  // Sends the answers held during a round: consecutive ones of one size to one client as one
  // segmented send (the kernel cuts it into the same datagrams), the others one by one.
  void flushHeld() {
    holding = false;
    for (size_t at = 0; at < held.size();) {
      const Pending& first = held[at];
      size_t run = 1;
      size_t bytes = first.bytes.size();
      while (segmentedSends && at + run < held.size() && run < 64) {
        const Pending& next = held[at + run];
        if (next.fd != first.fd || next.to.sin_addr.s_addr != first.to.sin_addr.s_addr ||
            next.to.sin_port != first.to.sin_port || next.bytes.size() > first.bytes.size() ||
            bytes + next.bytes.size() > 65000)
          break;
        bytes += next.bytes.size();
        ++run;
        if (next.bytes.size() < first.bytes.size()) break;
      }
      if (run > 1 && sendSegmented(at, run)) {
        at += run;
        continue;
      }
      ::sendto(first.fd, first.bytes.data(), first.bytes.size(), 0,
               reinterpret_cast<const sockaddr*>(&first.to), sizeof(first.to));
      ++at;
    }
    held.clear();
  }

  bool sendSegmented(size_t at, size_t run) {
    iovec iov[64];
    for (size_t i = 0; i < run; ++i)
      iov[i] = {held[at + i].bytes.data(), held[at + i].bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr m{};
    sockaddr_in to = held[at].to;
    m.msg_name = &to;
    m.msg_namelen = sizeof(to);
    m.msg_iov = iov;
    m.msg_iovlen = run;
    m.msg_control = control;
    m.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = kUdpSegment;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t size = static_cast<uint16_t>(held[at].bytes.size());
    std::memcpy(CMSG_DATA(c), &size, sizeof(size));
    if (::sendmsg(held[at].fd, &m, MSG_DONTWAIT) >= 0) return true;
    if (errno == EINVAL || errno == EIO || errno == ENOPROTOOPT || errno == EOPNOTSUPP)
      segmentedSends = false;
    return false;
  }

  void handleFrame(const Endpoint& ep, const sockaddr_in& from, std::span<const uint8_t> data) {
    auto type = Q5Protocol::lookupTypeWithPacket(data);
    if (!type) {
      note(true, ep, from, data, "short datagram");
      return;
    }
    auto body = *Q5Protocol::unwrapDataWithPacket(data);
    // The body as text, for the frames that carry text (not copied for every packet).
    auto bodyText = [&body] { return std::string(body.begin(), body.end()); };
    switch (*type) {
      case Q5Protocol::kPortProbe:
        note(true, ep, from, data, "port probe");
        answer(ep, from, Q5Protocol::wrapWithType(Q5Protocol::kPortProbeAnswer, {}),
               "probe answer");
        return;
      case Q5Protocol::kEcho: {
        note(true, ep, from, data, "echo");
        if (ep.sw.silentHeartbeat && bodyText().rfind("__", 0) == 0) return;
        answer(ep, from, Q5Protocol::wrapWithType(Q5Protocol::kEchoAnswer, body), "echo answer");
        return;
      }
      case Q5Protocol::kDetect: {
        auto req = nlohmann::json::parse(bodyText(), nullptr, false);
        if (!req.is_object()) {
          note(true, ep, from, data, "detect body is not an object");
          return;
        }
        note(true, ep, from, data, "detect");
        auto text = [&](const char* k) {
          auto it = req.find(k);
          return it != req.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        std::string nat = text("nat_ip");
        DetectAnswer f;
        {
          // The most specific entry wins: this port before the whole address, the NAT text
          // before "*".
          std::lock_guard lock(mutex);
          for (const auto& where : {key(ep.ip, ep.port), ep.ip}) {
            auto it = figures.find({where, nat});
            if (it == figures.end()) it = figures.find({where, "*"});
            if (it != figures.end()) {
              f = it->second;
              break;
            }
          }
        }
        std::string out;
        if (ep.sw.detectBody) {
          out = *ep.sw.detectBody;
        } else if (f.body) {
          out = *f.body;
        } else if (ep.sw.detectNotObject) {
          out = "[1,2,3]";
        } else {
          nlohmann::json a = {{"target_ip", text("target_ip")},
                              {"nat_ip", nat},
                              {"delay", f.figures.delay},
                              {"reply_count", f.figures.replyCount},
                              {"total_count", ep.sw.detectZeroTotal ? 0 : f.figures.totalCount}};
          out = a.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        }
        answer(ep, from,
               Q5Protocol::wrapWithType(Q5Protocol::kDetectAnswer,
                                        {reinterpret_cast<const uint8_t*>(out.data()), out.size()}),
               "detect answer");
        return;
      }
      case Q5Protocol::kIPPacket:
        handleIPPacket(ep, from, data, body);
        return;
      default:
        note(true, ep, from, data, "unknown type");
        return;
    }
  }

  void handleIPPacket(const Endpoint& ep, const sockaddr_in& from, std::span<const uint8_t> data,
                      std::span<const uint8_t> body) {
    if (body.size() < Q5Protocol::kIPPacketHeaderSize) {
      note(true, ep, from, data, "bad header: short");
      return;
    }
    if (ipPacketHeaderOf(body)->natAddress.empty()) {
      note(true, ep, from, data, "bad header: nat");
      return;
    }
    auto inner = body.subspan(Q5Protocol::kIPPacketHeaderSize);
    // Whole packets, the usual case, are read where they lie; fragments wait for the rest.
    std::optional<Bytes> whole;
    if (MZIPv4Packet::fragmentPacket(inner)) {
      whole = reassembler.add(inner);
      if (!whole) {
        note(true, ep, from, data, "fragment held");
        return;
      }
      inner = *whole;
    }
    auto info = brevant::parse_ipv4(inner);
    if (!info) {
      note(true, ep, from, data, "bad inner packet");
      return;
    }
    if (info->protocol != IPPROTO_UDP || !info->has_transport) {
      auto packet = MZIPv4Packet::packetWithData(inner, true);
      if (!packet) {
        note(true, ep, from, data, "bad inner packet");
        return;
      }
      toTun(ep, from, data, *packet);
      return;
    }
    note(true, ep, from, data, "udp forwarded");
    FlowKey k{ntohl(from.sin_addr.s_addr),
              ntohs(from.sin_port),
              info->src,
              info->dst,
              info->src_port,
              info->dst_port};
    auto it = flowByKey.find(k);
    int fd;
    if (it == flowByKey.end()) {
      Flow f;
      f.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in dst{};
      dst.sin_family = AF_INET;
      dst.sin_addr.s_addr = htonl(info->dst);
      dst.sin_port = htons(info->dst_port);
      if (f.fd < 0 || ::connect(f.fd, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)) != 0) {
        if (f.fd >= 0) ::close(f.fd);
        return;
      }
      f.endpoint = key(ep.ip, ep.port);
      f.client = from;
      f.src = info->src;
      f.dst = info->dst;
      f.srcPort = info->src_port;
      f.dstPort = info->dst_port;
      f.key = k;
      fd = f.fd;
      flows.emplace(fd, std::move(f));
      flowByKey.emplace(k, fd);
      watch(fd, kTagFlow);
    } else {
      fd = it->second;
    }
    Flow& f = flows[fd];
    f.lastSeen = std::chrono::steady_clock::now();
    const size_t at = info->payload_offset + 8;
    // Whole packets of a batch read go out together once the batch is handled (they lie in the
    // read buffer until then); a reassembled one at once.
    if (whole) {
      ::send(fd, inner.data() + at, info->udp_length - 8, 0);
    } else {
      pendingSends.push_back({fd, {const_cast<uint8_t*>(inner.data() + at), info->udp_length - 8}});
    }
  }

  // Sends what handleIPPacket held, one sendmmsg per run of the same flow socket.
  void flushSends() {
    mmsghdr msgs[kBatchRead];
    for (size_t i = 0; i < pendingSends.size();) {
      size_t n = 0;
      const int fd = pendingSends[i].fd;
      while (i + n < pendingSends.size() && pendingSends[i + n].fd == fd) {
        msgs[n] = {};
        msgs[n].msg_hdr.msg_iov = &pendingSends[i + n].part;
        msgs[n].msg_hdr.msg_iovlen = 1;
        ++n;
      }
      for (size_t sent = 0; sent < n;) {
        int r = ::sendmmsg(fd, msgs + sent, static_cast<unsigned>(n - sent), 0);
        if (r <= 0) break;  // a full or refused socket loses the rest, as a single send would
        sent += static_cast<size_t>(r);
      }
      i += n;
    }
    pendingSends.clear();
  }

  void expireFlows(SteadyTime now) {
    for (auto it = flows.begin(); it != flows.end();) {
      if (now - it->second.lastSeen < kFlowIdle) {
        ++it;
        continue;
      }
      flowByKey.erase(it->second.key);
      ::close(it->first);  // also leaves the epoll set
      it = flows.erase(it);
    }
  }

  void toTun(const Endpoint& ep, const sockaddr_in& from, std::span<const uint8_t> data,
             const MZIPv4Packet& packet) {
    std::string what = "inner protocol " + std::to_string(packet.protocol());
    int fd;
    {
      std::lock_guard lock(mutex);
      fd = tun ? tun->fd() : -1;
    }
    if (fd < 0) {
      note(true, ep, from, data, what + " recorded");
      return;
    }
    auto outside = nat->outside(from, addrText(from), key(ep.ip, ep.port), packet.source());
    if (!outside) {
      note(true, ep, from, data, what + " dropped: no free tun address");
      return;
    }
    Bytes bytes = packet.rawData();
    rewriteAddress(bytes, true, *outside);
    note(true, ep, from, data, what + " to tun from " + MZHelper::ipv4LiteralFromAddr(*outside));
    if (::write(fd, bytes.data(), bytes.size()) < 0)
      std::fprintf(stderr, "standin-relay: tun write: %s\n", std::strerror(errno));
  }

  // A packet the kernel routed into the device: back to the client whose address it names.
  void fromTun(std::span<const uint8_t> data) {
    if (data.size() < 20 || (data[0] >> 4) != 4) return;  // IPv6 and other chatter
    uint32_t dst = static_cast<uint32_t>(data[16]) << 24 | static_cast<uint32_t>(data[17]) << 16 |
                   static_cast<uint32_t>(data[18]) << 8 | data[19];
    const NatTable::Owner* owner = nat->owner(dst);
    if (!owner) return;
    std::optional<Endpoint> ep;
    {
      std::lock_guard lock(mutex);
      auto it = endpoints.find(owner->endpoint);
      if (it != endpoints.end()) ep = it->second;
    }
    Bytes bytes(data.begin(), data.end());
    if (!ep || !rewriteAddress(bytes, false, owner->inner)) return;
    sendInner(*ep, owner->client, bytes, "tun answer");
  }

  // Wraps an inner packet as 401 frames (fragments when a fragment MTU is set).
  void sendInner(const Endpoint& ep, const sockaddr_in& client, const Bytes& packet,
                 const std::string& note) {
    std::vector<Bytes> pieces;
    size_t mtuNow;
    {
      std::lock_guard lock(mutex);
      mtuNow = mtu;
    }
    if (mtuNow > 0) pieces = MZIPv4Packet::buildFragments(packet, mtuNow);
    if (pieces.empty()) pieces.push_back(packet);
    for (auto& p : pieces) {
      if (ep.sw.ipOverclaim && p.size() >= 20) {
        uint16_t total = static_cast<uint16_t>((p[2] << 8 | p[3]) + 64);
        p[2] = static_cast<uint8_t>(total >> 8);
        p[3] = static_cast<uint8_t>(total);
        fixIPChecksum(p);
      }
      answer(ep, client, Q5Protocol::wrapWithType(Q5Protocol::kIPPacketAnswer, p),
             pieces.size() > 1 ? note + " fragment" : note);
    }
  }

  void handleFlowAnswer(Flow& f, std::span<const uint8_t> payload) {
    std::optional<Endpoint> ep;
    {
      std::lock_guard lock(mutex);
      auto it = endpoints.find(f.endpoint);
      if (it != endpoints.end()) ep = it->second;
    }
    if (!ep) return;
    f.lastSeen = std::chrono::steady_clock::now();
    sendInner(*ep, f.client, MZIPv4Packet::buildUDP(f.dst, f.dstPort, f.src, f.srcPort, payload),
              "udp answer");
  }

  static constexpr size_t kBatchRead = 16;
  // Datagrams of the batch being handled, for flushSends (they lie in readEndpoint's buffer).
  struct PendingSend {
    int fd;
    iovec part;
  };
  std::vector<PendingSend> pendingSends;

  // Reads up to a batch of datagrams from an endpoint in one call.
  void readEndpoint(int fd) {
    constexpr size_t kBatch = kBatchRead;
    constexpr size_t kSize = 65536;
    static thread_local std::vector<uint8_t> storage(kBatch * kSize);
    mmsghdr msgs[kBatch] = {};
    iovec iovs[kBatch];
    sockaddr_in froms[kBatch];
    for (size_t i = 0; i < kBatch; ++i) {
      iovs[i] = {storage.data() + i * kSize, kSize};
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_name = &froms[i];
      msgs[i].msg_hdr.msg_namelen = sizeof(froms[i]);
    }
    int got = ::recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (got <= 0) return;
    Endpoint ep;
    {
      // Switches may change at any time: they are read once per batch.
      std::lock_guard lock(mutex);
      auto it = std::find_if(endpoints.begin(), endpoints.end(),
                             [fd](const auto& e) { return e.second.fd == fd; });
      if (it == endpoints.end()) return;
      ep = it->second;
    }
    for (int i = 0; i < got; ++i)
      handleFrame(ep, froms[i], {storage.data() + size_t(i) * kSize, msgs[i].msg_len});
    flushSends();
  }

  static constexpr int kFlowReadsPerRound = 64;

  void run() {
    std::vector<uint8_t> buf(65536);
    epoll_event events[64];
    for (;;) {
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
      }
      auto now = std::chrono::steady_clock::now();
      int timeout = 1000;
      if (!later.empty()) {
        auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(later.begin()->first - now);
        timeout = static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 1000));
      }
      int n = ::epoll_wait(epollFd, events, 64, timeout);
      if (n < 0 && errno != EINTR) return;
      now = std::chrono::steady_clock::now();
      while (!later.empty() && later.begin()->first <= now) {
        auto& p = later.begin()->second;
        ::sendto(p.fd, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&p.to),
                 sizeof(p.to));
        later.erase(later.begin());
      }
      if (now - lastExpire >= std::chrono::seconds(1)) {
        lastExpire = now;
        expireFlows(now);
      }
      holding = true;
      for (int i = 0; i < n; ++i) {
        const uint64_t tag = events[i].data.u64 >> 32;
        const int fd = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
        if (tag == kTagWake) {
          uint64_t v;
          if (::read(wakeFd, &v, sizeof(v)) < 0) {
          }
        } else if (tag == kTagEndpoint) {
          readEndpoint(fd);
        } else if (tag == kTagFlow) {
          auto it = flows.find(fd);
          if (it == flows.end()) continue;
          // What the server answered meanwhile, a bounded number per round: one wait per
          // datagram would make this thread the slowest part of a busy flow.
          for (int k = 0; k < kFlowReadsPerRound; ++k) {
            ssize_t got = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (got < 0) break;
            handleFlowAnswer(it->second, {buf.data(), static_cast<size_t>(got)});
          }
        } else if (tag == kTagTun) {
          // Drain it: the device queues what the kernel routed in while we slept.
          for (ssize_t got; (got = ::read(fd, buf.data(), buf.size())) > 0;)
            fromTun({buf.data(), static_cast<size_t>(got)});
        }
      }
      flushHeld();
    }
  }
};

Relay::Relay() : impl_(std::make_unique<Impl>()) {
  impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  impl_->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  impl_->watch(impl_->wakeFd, Impl::kTagWake);
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

Relay::~Relay() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake();
  impl_->thread.join();
  for (auto& [k, e] : impl_->endpoints) ::close(e.fd);
  for (auto& [fd, f] : impl_->flows) ::close(fd);
  ::close(impl_->wakeFd);
  ::close(impl_->epollFd);
}

uint16_t Relay::addEndpoint(const std::string& ip, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (fd < 0 || ::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (fd >= 0) ::close(fd);
    return 0;
  }
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  uint16_t bound = ntohs(addr.sin_port);
  // Room for a burst of frames while the loop is busy, as a relay machine has: beyond the
  // system's limit where allowed (root).
  int room = 8 << 20;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  {
    std::lock_guard lock(impl_->mutex);
    impl_->endpoints[key(ip, bound)] = Impl::Endpoint{fd, ip, bound, {}};
  }
  impl_->watch(fd, Impl::kTagEndpoint);
  return bound;
}

void Relay::setSwitches(const std::string& ip, uint16_t port, const Switches& s) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->endpoints.find(key(ip, port));
  if (it != impl_->endpoints.end()) it->second.sw = s;
}

bool Relay::changeSwitches(const std::string& ip, uint16_t port, const Switches& s,
                           const std::string& names) {
  {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->endpoints.find(key(ip, port));
    if (it == impl_->endpoints.end()) return false;
    it->second.sw = s;
  }
  Record r;
  r.local = key(ip, port);
  r.note = "switch " + names;
  impl_->record(std::move(r));
  return true;
}

void Relay::setDetectFigures(const std::string& ip, const std::string& natIP, DetectFigures f) {
  std::lock_guard lock(impl_->mutex);
  impl_->figures[{ip, natIP}] = {f, std::nullopt};
}

void Relay::setDetectFigures(const std::string& ip, uint16_t port, const std::string& natIP,
                             DetectFigures f) {
  std::lock_guard lock(impl_->mutex);
  impl_->figures[{key(ip, port), natIP}] = {f, std::nullopt};
}

void Relay::setDetectBody(const std::string& ip, const std::string& natIP, std::string body) {
  std::lock_guard lock(impl_->mutex);
  impl_->figures[{ip, natIP}] = {DetectFigures{}, std::move(body)};
}

void Relay::setDetectBody(const std::string& ip, uint16_t port, const std::string& natIP,
                          std::string body) {
  std::lock_guard lock(impl_->mutex);
  impl_->figures[{key(ip, port), natIP}] = {DetectFigures{}, std::move(body)};
}

void Relay::setFragmentMTU(size_t mtu) {
  std::lock_guard lock(impl_->mutex);
  impl_->mtu = mtu;
}

bool Relay::setRecordFile(const std::string& path) {
  std::lock_guard lock(impl_->mutex);
  impl_->recordFile.open(path, std::ios::app);
  return impl_->recordFile.is_open();
}

bool Relay::enableTun(const std::string& name, const std::string& subnetText, std::string& error) {
  auto subnet = parseSubnet(subnetText);
  if (!subnet) {
    error = "bad tun subnet \"" + subnetText + "\" (want ADDRESS/8..30)";
    return false;
  }
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->tun) {
      error = "tun mode is already on";
      return false;
    }
    impl_->tun = TunDevice::create(name, *subnet, error);
    if (!impl_->tun) return false;
    impl_->nat = std::make_unique<NatTable>(*subnet);
    impl_->watch(impl_->tun->fd(), Impl::kTagTun);
  }
  return true;
}

void Relay::setKeepRecords(bool keep) {
  std::lock_guard lock(impl_->mutex);
  impl_->keepRecords = keep;
}

std::vector<Record> Relay::records() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->records;
}

void Relay::clearRecords() {
  std::lock_guard lock(impl_->mutex);
  impl_->records.clear();
}

bool Relay::waitFor(const std::function<bool(const std::vector<Record>&)>& done,
                    std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return done(impl_->records); });
}

std::string recordJSON(const Record& r) {
  static const char* hex = "0123456789abcdef";
  std::string body;
  for (uint8_t b : r.body) {
    body += hex[b >> 4];
    body += hex[b & 0xF];
  }
  nlohmann::json j = {{"dir", r.incoming ? "in" : "out"},
                      {"local", r.local},
                      {"peer", r.peer},
                      {"type", r.type},
                      {"length", r.lengthField},
                      {"size", r.size},
                      {"body", body},
                      {"note", r.note},
                      {"time_ms", r.timeMs}};
  if (r.header) {
    j["exit"] = r.header->exit;
    j["rx"] = r.header->rx;
    j["tx"] = r.header->tx;
    j["flow_id"] = r.header->flowId;
    j["level"] = r.header->level;
    j["nat"] = r.header->nat;
    j["nat_address"] = r.header->natAddress;
  }
  if (!r.inner.empty()) j["inner"] = r.inner;
  // Texts from the wire may be any bytes.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<IPPacketHeader> ipPacketHeaderOf(std::span<const uint8_t> body) {
  if (body.size() < Q5Protocol::kIPPacketHeaderSize) return std::nullopt;
  IPPacketHeader h;
  h.exit = Q5Protocol::loadU32(body.data());
  h.rx = Q5Protocol::loadU16(body.data() + 4);
  h.tx = Q5Protocol::loadU16(body.data() + 6);
  h.flowId = Q5Protocol::loadU32(body.data() + 8);
  h.level = body[12];
  const char* nat = reinterpret_cast<const char*>(body.data() + 13);
  h.nat.assign(nat, strnlen(nat, Q5Protocol::kNatFieldSize));
  h.natAddress = natAddressOf(h.nat).value_or("");
  return h;
}

std::optional<std::string> natAddressOf(const std::string& natText) {
  if (MZHelper::ipv4AddrFromLiteral(natText)) return natText;
  auto decoded = tq::base64Decode(natText);
  if (decoded && MZHelper::ipv4AddrFromLiteral(*decoded)) return decoded;
  return std::nullopt;
}

}  // namespace standin::relay
