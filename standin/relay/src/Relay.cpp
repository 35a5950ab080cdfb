#include "standin/relay/Relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

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
  std::string client;
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
    int endpointFd = -1;
    sockaddr_in client{};
    uint32_t src = 0, dst = 0;
    uint16_t srcPort = 0, dstPort = 0;
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

  // Loop thread only.
  std::map<FlowKey, Flow> flows;
  std::multimap<SteadyTime, Pending> later;
  MZIPv4Packet::Reassembler reassembler;

  // TUN mode: set once under the mutex; the table is used by the loop thread only.
  std::unique_ptr<TunDevice> tun;
  std::unique_ptr<NatTable> nat;

  int wakeFd = -1;
  bool stopping = false;
  std::thread thread;

  void wake() {
    uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof(one)) < 0) {
    }
  }

  void record(Record r) {
    r.timeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count();
    std::lock_guard lock(mutex);
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
  void answer(const Endpoint& ep, const sockaddr_in& to, Bytes frame, const std::string& note) {
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
      record(makeRecord(false, ep, to, frame, note));
      if (sw.delay.count() > 0) {
        later.emplace(std::chrono::steady_clock::now() + sw.delay,
                      Pending{ep.fd, to, frame, key(ep.ip, ep.port)});
        continue;
      }
      ::sendto(ep.fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof(to));
    }
  }

  void handleFrame(const Endpoint& ep, const sockaddr_in& from, std::span<const uint8_t> data) {
    auto type = Q5Protocol::lookupTypeWithPacket(data);
    if (!type) {
      record(makeRecord(true, ep, from, data, "short datagram"));
      return;
    }
    auto body = *Q5Protocol::unwrapDataWithPacket(data);
    std::string bodyText(body.begin(), body.end());
    switch (*type) {
      case Q5Protocol::kPortProbe:
        record(makeRecord(true, ep, from, data, "port probe"));
        answer(ep, from, Q5Protocol::wrapWithType(Q5Protocol::kPortProbeAnswer, {}),
               "probe answer");
        return;
      case Q5Protocol::kEcho: {
        record(makeRecord(true, ep, from, data, "echo"));
        if (ep.sw.silentHeartbeat && bodyText.rfind("__", 0) == 0) return;
        answer(ep, from, Q5Protocol::wrapWithType(Q5Protocol::kEchoAnswer, body), "echo answer");
        return;
      }
      case Q5Protocol::kDetect: {
        auto req = nlohmann::json::parse(bodyText, nullptr, false);
        if (!req.is_object()) {
          record(makeRecord(true, ep, from, data, "detect body is not an object"));
          return;
        }
        record(makeRecord(true, ep, from, data, "detect"));
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
        record(makeRecord(true, ep, from, data, "unknown type"));
        return;
    }
  }

  void handleIPPacket(const Endpoint& ep, const sockaddr_in& from, std::span<const uint8_t> data,
                      std::span<const uint8_t> body) {
    if (body.size() < Q5Protocol::kIPPacketHeaderSize) {
      record(makeRecord(true, ep, from, data, "bad header: short"));
      return;
    }
    if (ipPacketHeaderOf(body)->natAddress.empty()) {
      record(makeRecord(true, ep, from, data, "bad header: nat"));
      return;
    }
    auto inner = body.subspan(Q5Protocol::kIPPacketHeaderSize);
    auto whole = reassembler.add(inner);
    if (!whole) {
      bool fragment = MZIPv4Packet::fragmentPacket(inner);
      record(makeRecord(true, ep, from, data, fragment ? "fragment held" : "bad inner packet"));
      return;
    }
    auto packet = MZIPv4Packet::packetWithData(*whole, true);
    if (!packet) {
      record(makeRecord(true, ep, from, data, "bad inner packet"));
      return;
    }
    if (packet->protocol() != IPPROTO_UDP) {
      toTun(ep, from, data, *packet);
      return;
    }
    record(makeRecord(true, ep, from, data, "udp forwarded"));
    FlowKey k{addrText(from), packet->source(), packet->destination(), packet->sourcePort(),
              packet->destinationPort()};
    auto it = flows.find(k);
    if (it == flows.end()) {
      Flow f;
      f.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in dst{};
      dst.sin_family = AF_INET;
      dst.sin_addr.s_addr = htonl(packet->destination());
      dst.sin_port = htons(packet->destinationPort());
      if (f.fd < 0 || ::connect(f.fd, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)) != 0) {
        if (f.fd >= 0) ::close(f.fd);
        return;
      }
      f.endpointFd = ep.fd;
      f.client = from;
      f.src = packet->source();
      f.dst = packet->destination();
      f.srcPort = packet->sourcePort();
      f.dstPort = packet->destinationPort();
      it = flows.emplace(k, f).first;
    }
    auto payload = packet->payload();
    if (payload.size() >= 8) {
      ::send(it->second.fd, payload.data() + 8, payload.size() - 8, 0);
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
      record(makeRecord(true, ep, from, data, what + " recorded"));
      return;
    }
    auto outside = nat->outside(from, addrText(from), key(ep.ip, ep.port), packet.source());
    if (!outside) {
      record(makeRecord(true, ep, from, data, what + " dropped: no free tun address"));
      return;
    }
    Bytes bytes = packet.rawData();
    rewriteAddress(bytes, true, *outside);
    record(makeRecord(true, ep, from, data,
                      what + " to tun from " + MZHelper::ipv4LiteralFromAddr(*outside)));
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

  void handleFlowAnswer(const Flow& f, std::span<const uint8_t> payload) {
    std::optional<Endpoint> ep;
    {
      std::lock_guard lock(mutex);
      for (auto& [k, e] : endpoints)
        if (e.fd == f.endpointFd) ep = e;
    }
    if (!ep) return;
    sendInner(*ep, f.client, MZIPv4Packet::buildUDP(f.dst, f.dstPort, f.src, f.srcPort, payload),
              "udp answer");
  }

  void run() {
    std::vector<uint8_t> buf(65536);
    for (;;) {
      std::vector<pollfd> fds{{wakeFd, POLLIN, 0}};
      std::vector<Endpoint> eps;
      int tunFd = -1;
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
        for (auto& [k, e] : endpoints) eps.push_back(e);
        if (tun) tunFd = tun->fd();
      }
      for (auto& e : eps) fds.push_back({e.fd, POLLIN, 0});
      std::vector<const Flow*> flowList;
      for (auto& [k, f] : flows) {
        fds.push_back({f.fd, POLLIN, 0});
        flowList.push_back(&f);
      }
      if (tunFd >= 0) fds.push_back({tunFd, POLLIN, 0});
      int timeout = -1;
      if (!later.empty()) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            later.begin()->first - std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::max<int64_t>(0, wait.count()));
      }
      int n = ::poll(fds.data(), fds.size(), timeout);
      if (n < 0 && errno != EINTR) return;
      auto now = std::chrono::steady_clock::now();
      while (!later.empty() && later.begin()->first <= now) {
        auto& p = later.begin()->second;
        ::sendto(p.fd, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&p.to),
                 sizeof(p.to));
        later.erase(later.begin());
      }
      if (n <= 0) continue;
      if (fds[0].revents) {
        uint64_t v;
        if (::read(wakeFd, &v, sizeof(v)) < 0) {
        }
      }
      for (size_t i = 0; i < eps.size(); ++i) {
        if (!(fds[1 + i].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t got = ::recvfrom(eps[i].fd, buf.data(), buf.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
        if (got < 0) continue;
        Endpoint ep;
        {
          // Switches may have changed since the poll set was built.
          std::lock_guard lock(mutex);
          auto it = endpoints.find(key(eps[i].ip, eps[i].port));
          if (it == endpoints.end()) continue;
          ep = it->second;
        }
        handleFrame(ep, from, {buf.data(), static_cast<size_t>(got)});
      }
      for (size_t i = 0; i < flowList.size(); ++i) {
        if (!(fds[1 + eps.size() + i].revents & POLLIN)) continue;
        ssize_t got = ::recv(flowList[i]->fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (got < 0) continue;
        handleFlowAnswer(*flowList[i], {buf.data(), static_cast<size_t>(got)});
      }
      if (tunFd >= 0 && (fds.back().revents & POLLIN)) {
        // Drain it: the device queues what the kernel routed in while we slept.
        for (ssize_t got; (got = ::read(tunFd, buf.data(), buf.size())) > 0;)
          fromTun({buf.data(), static_cast<size_t>(got)});
      }
    }
  }
};

Relay::Relay() : impl_(std::make_unique<Impl>()) {
  impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
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
  for (auto& [k, f] : impl_->flows) ::close(f.fd);
  ::close(impl_->wakeFd);
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
  {
    std::lock_guard lock(impl_->mutex);
    impl_->endpoints[key(ip, bound)] = Impl::Endpoint{fd, ip, bound, {}};
  }
  impl_->wake();
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
  }
  impl_->wake();
  return true;
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
