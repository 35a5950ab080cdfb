#pragma once
// Carries a connection through an HTTP proxy with CONNECT. Every byte both ways, the CONNECT
// exchange included, passes encodeData; the base passes bytes unchanged.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Mazzle/MZAdapter.h"
#include "Mazzle/MZNWTCPSocket.h"

class MZHTTPAdapter : public MZAdapter {
 public:
  // Largest CONNECT answer header read.
  static constexpr size_t kMaxAnswerHeader = 8192;

  MZHTTPAdapter(std::string serverHost, uint16_t serverPort, std::optional<std::string> auth);
  void setSocket(std::unique_ptr<MZNWTCPSocket> socket) { socket_ = std::move(socket); }

  int open(const MZConnectSession& session, std::string& error) override;
  std::vector<uint8_t> encodeOutgoing(std::span<const uint8_t> data) override {
    return encodeData(data);
  }
  std::vector<uint8_t> decodeIncoming(std::span<const uint8_t> data) override {
    return encodeData(data);
  }
  virtual std::vector<uint8_t> encodeData(std::span<const uint8_t> data) {
    return {data.begin(), data.end()};
  }

  // The CONNECT request for a session.
  std::string connectRequest(const MZConnectSession& session) const;
  // Checks a decoded answer header (up to and including the blank line): only a 200 status
  // line accepts.
  static bool acceptsAnswer(const std::string& header);

  const std::string& serverHost() const { return serverHost_; }
  uint16_t serverPort() const { return serverPort_; }

 private:
  std::string serverHost_;
  uint16_t serverPort_;
  std::optional<std::string> auth_;
  std::unique_ptr<MZNWTCPSocket> socket_;
};

class MZHTTPAdapterFactory : public MZAdapterFactory {
 public:
  MZHTTPAdapterFactory(std::string serverHost, uint16_t serverPort)
      : serverHost_(std::move(serverHost)), serverPort_(serverPort) {}
  const std::string& serverHost() const { return serverHost_; }
  uint16_t serverPort() const { return serverPort_; }
  std::unique_ptr<MZAdapter> getAdapterForSession(const MZConnectSession& session) override;

 private:
  std::string serverHost_;
  uint16_t serverPort_;
};
