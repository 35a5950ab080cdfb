#include "Galvent/Tunnel/Adapter/GVHTTPAdapter.h"

#include "Mazzle/MZNWTCPSocket.h"

std::vector<uint8_t> GVHTTPAdapter::encodeData(std::span<const uint8_t> data) {
  std::vector<uint8_t> out(data.begin(), data.end());
  for (auto& byte : out) byte ^= kMask;
  return out;
}

std::unique_ptr<MZAdapter> GVHTTPAdapterFactory::getAdapterForSession(const MZConnectSession&) {
  auto adapter = std::make_unique<GVHTTPAdapter>(serverHost(), serverPort(), std::nullopt);
  adapter->setSocket(std::make_unique<MZNWTCPSocket>());
  return adapter;
}
