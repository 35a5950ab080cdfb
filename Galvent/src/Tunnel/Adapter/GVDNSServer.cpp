#include "Galvent/Tunnel/Adapter/GVDNSServer.h"

#include "Brevant/Brevant.h"
#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Tunnel/Adapter/GVDomainRecorder.h"
#include "Mazzle/MZIPv4Packet.h"

GVDNSServer::GVDNSServer(std::string serverHost, brevant::DomainTable* domains, Clock clock)
    : MZDNSServer(std::move(serverHost), 53, std::move(clock)),
      domains_(domains ? domains : &GVDomainRecorder::processTable()) {}

void GVDNSServer::start() {
  MZDNSServer::start();
  GVLogInfo("DNS server " + serverHost() + ":" + std::to_string(serverPort()) + " started.");
}

void GVDNSServer::stop() {
  MZDNSServer::stop();
  GVLogInfo("DNS server " + serverHost() + ":" + std::to_string(serverPort()) + " stopped.");
}

bool GVDNSServer::inputPacket(std::span<const uint8_t> packet, int version) {
  if (!active()) GVLogWarn("DNS server " + serverHost() + " not active yet!");
  return MZDNSServer::inputPacket(packet, version);
}

std::optional<std::vector<uint8_t>> GVDNSServer::processDNSRespData(std::span<const uint8_t> data) {
  auto packet = MZDNSServer::processDNSRespData(data);
  if (packet) {
    if (auto parsed = MZIPv4Packet::packetWithData(*packet, false))
      GVLogger::logIncomingPacket(parsed->description(), "DNS");
    brevant::record_ip_to_domain_from_dns_answer_packet(*domains_, *packet);
  }
  return packet;
}

void GVDNSServer::didCancel(const std::string& socket) {
  GVLogInfo("DNS socket " + socket + " did cancelled.");
}
