#pragma once
// The tunnel's DNS server stack: logs, and learns the answered addresses into the rule kit's
// address-to-domain table.

#include "Brevant/DomainTable.h"
#include "Mazzle/MZDNSServer.h"

class GVDNSServer : public MZDNSServer {
 public:
  // domains: the table the answers are learned into (the packet proxy's); null uses the
  // process-wide table of GVDomainRecorder.
  GVDNSServer(std::string serverHost, brevant::DomainTable* domains = nullptr, Clock clock = {});

  void start() override;
  void stop() override;
  bool inputPacket(std::span<const uint8_t> packet, int version) override;
  std::optional<std::vector<uint8_t>> processDNSRespData(std::span<const uint8_t> data) override;
  void didCancel(const std::string& socket) override;

 private:
  brevant::DomainTable* domains_;
};
