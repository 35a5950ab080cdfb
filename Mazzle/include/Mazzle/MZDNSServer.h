#pragma once
// Answers the tunnel's DNS queries (IPv4 UDP to port 53) through serverHost: each query goes out
// on one marked socket under a transaction id of the server's own, keyed back to (its id, client
// address and port, original destination); the answer returns to the client from the original
// destination. Queries wait at most kQueryTimeout; at most kMaxPending wait at once.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Mazzle/MZIPStackProtocol.h"

class MZDNSServer : public MZIPStackProtocol, public std::enable_shared_from_this<MZDNSServer> {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::seconds kQueryTimeout{10};
  static constexpr size_t kMaxPending = 1024;

  explicit MZDNSServer(std::string serverHost, uint16_t serverPort = 53, Clock clock = {});
  ~MZDNSServer() override;

  const std::string& serverHost() const { return serverHost_; }
  uint16_t serverPort() const { return serverPort_; }
  bool active() const;

  void start() override;
  void stop() override;
  bool inputPacket(std::span<const uint8_t> packet, int version) override;
  // Takes UDP only: TCP is never its.
  WholeOffer offerWhole(std::span<uint8_t>, const platform::netext::Offload&) override {
    return WholeOffer::kNotMine;
  }

  // One answer from the upstream server: the packet for the system, or nothing when it answers
  // no waiting query or is not a DNS message.
  virtual std::optional<std::vector<uint8_t>> processDNSRespData(std::span<const uint8_t> data);
  // The upstream socket closed.
  virtual void didCancel(const std::string& socket);

  size_t pendingCount() const;

  // Records a query as if sent and gives the upstream message; for the fuzz target and tests.
  std::optional<std::vector<uint8_t>> prepareQuery(std::span<const uint8_t> packet);

 private:
  struct Pending {
    uint16_t clientId;
    uint32_t clientIP;
    uint16_t clientPort;
    uint32_t originalDestination;
    std::chrono::steady_clock::time_point expires;
  };
  void expire(std::chrono::steady_clock::time_point now);
  void receive();

  std::string serverHost_;
  uint16_t serverPort_;
  Clock clock_;
  mutable std::mutex mutex_;
  std::map<uint16_t, Pending> pending_;
  uint16_t nextId_ = 1;
  struct Socket;
  std::shared_ptr<Socket> socket_;
};
