#include "Mazzle/MZDNSServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <asio/ip/udp.hpp>

#include "Mazzle/MZHelper.h"
#include "Mazzle/MZIPv4Packet.h"
#include "Mazzle/MZQueueFactory.h"
#include "Mazzle/MZRawSocketFactory.h"

struct MZDNSServer::Socket {
  explicit Socket(asio::io_context& io) : socket(io) {}
  asio::ip::udp::socket socket;  // on the kit's loop only
  std::array<uint8_t, 65536> buffer;
  bool active = false;  // guarded by the server's mutex
};

MZDNSServer::MZDNSServer(std::string serverHost, uint16_t serverPort, Clock clock)
    : serverHost_(std::move(serverHost)),
      serverPort_(serverPort),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })) {}

MZDNSServer::~MZDNSServer() {
  std::lock_guard lock(mutex_);
  if (socket_) {
    auto s = socket_;
    MZQueueFactory::async([s] {
      asio::error_code ec;
      s->socket.close(ec);
    });
  }
}

bool MZDNSServer::active() const {
  std::lock_guard lock(mutex_);
  return socket_ && socket_->active;
}

size_t MZDNSServer::pendingCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

void MZDNSServer::start() {
  auto server = MZHelper::ipv4AddrFromLiteral(serverHost_);
  if (!server) {
    didCancel("DNS socket to " + serverHost_ + ": not an IPv4 address");
    return;
  }
  int fd = MZRawSocketFactory::sharedInstance().makeUDPSocket(AF_INET);
  if (fd < 0) {
    didCancel("DNS socket to " + serverHost_ + ": cannot make a socket");
    return;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(*server);
  to.sin_port = htons(serverPort_);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    didCancel("DNS socket to " + serverHost_ + ": cannot connect");
    return;
  }
  auto s = std::make_shared<Socket>(MZQueueFactory::queue());
  asio::error_code ec;
  s->socket.assign(asio::ip::udp::v4(), fd, ec);
  if (ec) {
    ::close(fd);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    socket_ = s;
    s->active = true;
  }
  auto self = weak_from_this();
  MZQueueFactory::async([self] {
    if (auto server = self.lock()) server->receive();
  });
}

void MZDNSServer::stop() {
  std::shared_ptr<Socket> s;
  {
    std::lock_guard lock(mutex_);
    s.swap(socket_);
    pending_.clear();
    if (s) s->active = false;
  }
  if (s) {
    MZQueueFactory::async([s] {
      asio::error_code ec;
      s->socket.close(ec);
    });
  }
}

void MZDNSServer::didCancel(const std::string&) {}

void MZDNSServer::expire(std::chrono::steady_clock::time_point now) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.expires <= now) {
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
}

std::optional<std::vector<uint8_t>> MZDNSServer::prepareQuery(std::span<const uint8_t> data) {
  auto packet = MZIPv4Packet::packetWithData(data, true);
  if (!packet || packet->isFragment() || packet->protocol() != IPPROTO_UDP ||
      packet->destinationPort() != 53)
    return std::nullopt;
  auto payload = packet->payload();
  if (payload.size() < 8 + 12) return std::nullopt;  // UDP header and a DNS header
  std::vector<uint8_t> message(payload.begin() + 8, payload.end());
  // Queries only (QR clear).
  if (message[2] & 0x80) return std::nullopt;
  std::lock_guard lock(mutex_);
  const auto now = clock_();
  expire(now);
  if (pending_.size() >= kMaxPending) {
    // Full: the query closest to expiry goes.
    auto soonest = pending_.begin();
    for (auto it = pending_.begin(); it != pending_.end(); ++it)
      if (it->second.expires < soonest->second.expires) soonest = it;
    pending_.erase(soonest);
  }
  uint16_t id = 0;
  for (size_t tries = 0; tries < 0x10000; ++tries) {
    id = nextId_++;
    if (!pending_.count(id)) break;
  }
  Pending entry{static_cast<uint16_t>((message[0] << 8) | message[1]), packet->source(),
                packet->sourcePort(), packet->destination(), now + kQueryTimeout};
  pending_[id] = entry;
  message[0] = uint8_t(id >> 8);
  message[1] = uint8_t(id);
  return message;
}

bool MZDNSServer::inputPacket(std::span<const uint8_t> data, int version) {
  if (version != 4 || data.size() < 28 || data[9] != IPPROTO_UDP) return false;
  auto query = prepareQuery(data);
  if (!query) return false;
  std::shared_ptr<Socket> s;
  {
    std::lock_guard lock(mutex_);
    s = socket_;
  }
  if (!s) return true;  // taken: a query must not leave unanswered through another stack
  MZQueueFactory::async([s, query = std::move(*query)] {
    asio::error_code ec;
    s->socket.send(asio::buffer(query), 0, ec);
  });
  return true;
}

std::optional<std::vector<uint8_t>> MZDNSServer::processDNSRespData(std::span<const uint8_t> data) {
  if (data.size() < 12 || !(data[2] & 0x80)) return std::nullopt;
  const uint16_t id = static_cast<uint16_t>((data[0] << 8) | data[1]);
  Pending entry;
  {
    std::lock_guard lock(mutex_);
    expire(clock_());
    auto it = pending_.find(id);
    if (it == pending_.end()) return std::nullopt;
    entry = it->second;
    pending_.erase(it);
  }
  std::vector<uint8_t> message(data.begin(), data.end());
  message[0] = uint8_t(entry.clientId >> 8);
  message[1] = uint8_t(entry.clientId);
  if (message.size() > 65535 - 28) return std::nullopt;
  return MZIPv4Packet::buildUDP(entry.originalDestination, 53, entry.clientIP, entry.clientPort,
                                message);
}

void MZDNSServer::receive() {
  std::shared_ptr<Socket> s;
  {
    std::lock_guard lock(mutex_);
    s = socket_;
  }
  if (!s) return;
  std::weak_ptr<MZDNSServer> self = weak_from_this();
  s->socket.async_receive(asio::buffer(s->buffer), [self, s](asio::error_code ec, size_t n) {
    auto server = self.lock();
    if (!server) return;
    if (ec) {
      if (ec != asio::error::operation_aborted)
        server->didCancel("DNS socket to " + server->serverHost_);
      return;
    }
    if (auto packet = server->processDNSRespData(std::span(s->buffer.data(), n)))
      server->output(std::move(*packet), 2);
    bool current;
    {
      std::lock_guard lock(server->mutex_);
      current = server->socket_ == s;
    }
    // A restarted server has its own read chain on its new socket.
    if (current) server->receive();
  });
}
