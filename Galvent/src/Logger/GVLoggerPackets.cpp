// Packet lines described by the tunnel kit.
#include <atomic>

#include "Galvent/Logger/GVLogger.h"
#include "Galvent/Models/GVTunnelOptions.h"
#include "Mazzle/MZIPv4Packet.h"

namespace {
std::atomic<uint64_t> gTextsBuilt{0};

std::string describe(std::span<const uint8_t> data, bool outgoing) {
  gTextsBuilt.fetch_add(1, std::memory_order_relaxed);
  if (auto packet = MZIPv4Packet::packetWithData(data, outgoing)) return packet->description();
  return std::string(outgoing ? "-> " : "<- ") + "not an IPv4 packet, " +
         std::to_string(data.size()) + " bytes";
}
}  // namespace

bool GVLogger::packetLinesOn() {
  return GVFlag(GVTunnelOptions::currentOptions()->logInterceptPacket) &&
         GVLogger::logger() != nullptr;
}

uint64_t GVLogger::packetTextsBuilt() { return gTextsBuilt.load(std::memory_order_relaxed); }

void GVLogger::logOutgoingPacket(std::span<const uint8_t> packet, std::string_view note) {
  if (packetLinesOn()) logOutgoingPacket(std::string_view(describe(packet, true)), note);
}

void GVLogger::logIncomingPacket(std::span<const uint8_t> packet, std::string_view note) {
  if (packetLinesOn()) logIncomingPacket(std::string_view(describe(packet, false)), note);
}
