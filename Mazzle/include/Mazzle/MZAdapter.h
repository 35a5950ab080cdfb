#pragma once
// Adapters carry one TCP connection of the tunnel to where it is served: straight to its
// destination or through a proxy. A factory makes one adapter per connection.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Mazzle/MZConnectSession.h"

class MZAdapter {
 public:
  virtual ~MZAdapter() = default;
  // Connects for the session; the connected descriptor (the caller owns it) or -errno, with a
  // reason in error. Data already read past a handshake is left in pendingIncoming().
  virtual int open(const MZConnectSession& session, std::string& error) = 0;
  // Bytes to the server and from it pass through these.
  virtual std::vector<uint8_t> encodeOutgoing(std::span<const uint8_t> data) {
    return {data.begin(), data.end()};
  }
  virtual std::vector<uint8_t> decodeIncoming(std::span<const uint8_t> data) {
    return {data.begin(), data.end()};
  }
  std::vector<uint8_t>& pendingIncoming() { return pending_; }

  static constexpr std::chrono::seconds kConnectTimeout{10};

 protected:
  std::vector<uint8_t> pending_;
};

class MZAdapterFactory {
 public:
  virtual ~MZAdapterFactory() = default;
  virtual std::unique_ptr<MZAdapter> getAdapterForSession(const MZConnectSession& session) = 0;
};

// Connects straight to the destination with a marked socket.
class MZDirectAdapter : public MZAdapter {
 public:
  int open(const MZConnectSession& session, std::string& error) override;
};

class MZDirectAdapterFactory : public MZAdapterFactory {
 public:
  static std::shared_ptr<MZDirectAdapterFactory> shared();
  std::unique_ptr<MZAdapter> getAdapterForSession(const MZConnectSession& session) override;
};
